// Test support: a smart card extension bound to the library with a test serial line, inside a
// simulated machine.
#pragma once
#include <functional>
#include <memory>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "tests/support/test_serial_line.h"

namespace test_support {

struct LinkBench {
  PSMARTCARD_EXTENSION extension = nullptr;
  PREADER_EXTENSION reader = nullptr;
  TestSerialLine* line = nullptr;
  // With LinkBenchOptions::device: the machine's I/O manager, and the device object whose
  // extension begins with `extension`; its driver's dispatch table is the test's to fill.
  host::io::IoManager* io = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

struct LinkBenchOptions {
  uint64_t seed = 1;
  UCHAR ifsc = 254;
  // An I/O manager in the machine and a device object carrying the extension, as the driver's
  // own devices do, so that requests can be completed and cancelled.
  bool device = false;
};

// Runs body in a machine with a bound extension (link in step, Ifsc as given) and unbinds it
// afterwards; the result includes the machine's leak checks.
host::kernel::RunResult RunWithLink(const std::function<void(LinkBench&)>& body, uint64_t seed = 1,
                                    UCHAR ifsc = 254);
host::kernel::RunResult RunWithLink(const LinkBenchOptions& options,
                                    const std::function<void(LinkBench&)>& body);

}  // namespace test_support
