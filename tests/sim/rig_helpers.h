// Shared by the reader tests: run a body with a ReaderRig inside a simulated machine.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "host/kernel/kernel.h"
#include "platform/wdm.h"
#include "sim/reader_rig.h"

namespace sim::testing {

inline void Sleep(host::kernel::Ticks t) {
  LARGE_INTEGER d;
  d.QuadPart = -t;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

inline void WithRig(const std::function<void(host::kernel::Kernel&, ReaderRig&)>& body,
                    ReaderRigOptions options = {}) {
  host::kernel::Kernel k;
  auto r = k.Run([&] {
    ReaderRig rig(k, options);
    body(k, rig);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

}  // namespace sim::testing
