// The machine object as tools and tests use it: the driver loaded through its entry point,
// converters plugged in and pulled out, handles opened as applications open them, and the
// shutdown checks.
#include "host/machine/machine.h"

#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"

using namespace host::machine;

namespace {

TEST(Machine, NineConvertersGetTheNineNamesAndATenthIsRefused) {
  Machine machine;
  auto result = machine.Run([](Machine& m) {
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
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

}  // namespace
