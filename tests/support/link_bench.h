// Test support: a smart card extension bound to the library with a test serial line, inside a
// simulated machine.
#pragma once
#include <functional>
#include <memory>

#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "tests/support/test_serial_line.h"

namespace test_support {

struct LinkBench {
  PSMARTCARD_EXTENSION extension = nullptr;
  PREADER_EXTENSION reader = nullptr;
  TestSerialLine* line = nullptr;
};

// Runs body in a machine with a bound extension (link in step, Ifsc as given) and unbinds it
// afterwards; the result includes the machine's leak checks.
host::kernel::RunResult RunWithLink(const std::function<void(LinkBench&)>& body, uint64_t seed = 1,
                                    UCHAR ifsc = 254);

}  // namespace test_support
