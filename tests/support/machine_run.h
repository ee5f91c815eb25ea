// Test support: a test's machine through host/machine, the driver loaded through its entry point,
// converters plugged in and handles opened as the tools do. The result says whether the run
// ended well, with the seed, so that a failing race replays.
//
//   EXPECT_TRUE(test_support::RunMachine(seed, [](host::machine::Machine& m) { ... }));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "host/machine/machine.h"
#include "host/machine/reader_handle.h"

namespace test_support {

inline ::testing::AssertionResult RunMachine(
    uint64_t seed, const std::function<void(host::machine::Machine&)>& body,
    host::machine::MachineOptions options = {}) {
  options.kernel.seed = seed;
  host::machine::Machine machine(options);
  host::kernel::RunResult result = machine.Run(body);
  if (result.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "seed " << seed << ": " << result.report;
}

}  // namespace test_support
