// The machine object as tools and tests use it: the driver loaded through its entry point,
// converters plugged in and pulled out, handles opened as applications open them, and the
// shutdown checks.
#include "host/machine/machine.h"

#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"
#include "tests/support/machine_run.h"

using namespace host::machine;

namespace {

TEST(Machine, NineConvertersGetTheNineNamesAndATenthIsRefused) {
  EXPECT_TRUE(test_support::RunMachine(1, [](Machine& m) {
    for (unsigned unit = 0; unit < kDeviceNames; ++unit) {
      Converter& c = m.Plug();
      EXPECT_EQ(c.device_name(), DeviceName(unit));
      EXPECT_EQ(c.state(), host::io::DeviceState::kStarted);
    }
    Converter& tenth = m.Plug();
    EXPECT_EQ(tenth.device_name(), u"");
    EXPECT_EQ(tenth.state(), host::io::DeviceState::kAddFailed);
    // A name given back is given out again.
    Converter& second = *m.converters()[1];
    second.Unplug();
    EXPECT_EQ(second.device_name(), u"");
    EXPECT_EQ(m.Plug().device_name(), DeviceName(1));
  }));
}

}  // namespace

namespace {

NTSTATUS NTAPI RefusingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  return STATUS_INSUFFICIENT_RESOURCES;
}

TEST(Machine, ADriverThatDoesNotLoadEndsTheRunAndSaysWhy) {
  MachineOptions options;
  options.driver.entry = RefusingEntry;
  Machine machine(options);
  bool ran = false;
  auto result = machine.Run([&](Machine&) { ran = true; });
  EXPECT_FALSE(ran);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.report,
            "the driver did not load: DriverEntry returned STATUS_INSUFFICIENT_RESOURCES");
}

TEST(Machine, RealTimeAndConvertersLeftPluggedAtShutdown) {
  MachineOptions options;
  options.kernel.mode = host::kernel::Mode::kReal;
  Machine machine(options);
  Converter* kept = nullptr;
  auto result = machine.Run([&](Machine& m) {
    kept = &m.Plug();
    m.Plug();
    EXPECT_EQ(kept->device_name(), DeviceName(0));
    EXPECT_TRUE(kept->plugged());
  });
  // Shutdown pulled both out, the driver removed its devices and was unloaded: nothing leaked.
  EXPECT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(machine.driver(), nullptr);
}

}  // namespace
