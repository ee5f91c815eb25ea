// Shared by the tests that run the link on the simulated line and reader.
#pragma once
#include <gtest/gtest.h>

#include <functional>

#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "tests/support/sim_link.h"

namespace sim_link_test {

using host::kernel::Kernel;
using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::kernel::Ticks;
using test_support::Bytes;
using test_support::Hex;
using test_support::SimExchange;
using test_support::SimLink;
using test_support::SimLinkOptions;
using test_support::ToHex;

// Runs body with a SimLink in a fresh machine; the result includes the machine's leak checks.
inline host::kernel::RunResult RunSimLink(const std::function<void(Kernel&, SimLink&)>& body,
                                          SimLinkOptions options = {}, uint64_t seed = 1) {
  Kernel k(host::kernel::KernelOptions{.seed = seed});
  host::smclib::SmartcardLibrary library(k);
  return k.Run([&] {
    SimLink link(k, options);
    ASSERT_EQ(link.binding_status(), STATUS_SUCCESS);
    body(k, link);
  });
}

inline void Sleep(Ticks t) {
  LARGE_INTEGER d;
  d.QuadPart = -t;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

// Reader commands and their answers.
inline const Bytes kGetStatus = {0x20, 0x13, 0x00, 0x80, 0x00};
inline const Bytes kResetCard = {0x20, 0x10, 0x01, 0x01};
inline const Bytes kStatusCardUnpowered = {0x80, 0x01, 0x01, 0x90, 0x00};
inline const Bytes kStatusCardPowered = {0x80, 0x01, 0x05, 0x90, 0x00};
inline const Bytes kBuiltinAtrAndReset = {0x3B, 0x93, 0x11, 0x80, 0x31, 0xFE, 0x45,
                                          0x80, 0x31, 0xC0, 0xF9, 0x90, 0x01};

// READ PATTERN: n bytes of i mod 256, then 90 00.
inline Bytes ReadPattern(size_t n) { return {0x80, 0xF0, uint8_t(n >> 8), uint8_t(n)}; }
inline Bytes PatternAnswer(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i);
  b.push_back(0x90);
  b.push_back(0x00);
  return b;
}

}  // namespace sim_link_test
