// Private requests that change the converter's line, against the reader link that depends on it:
// a later bring-up puts the link's own settings back, and a request that failed after echoing a
// status byte reports no bytes.
#include <gtest/gtest.h>

#include "control/private_interface.h"
#include "host/machine/reader_handle.h"
#include "sim/converter/converter_protocol.h"
#include "tests/control/command_record.h"
#include "tests/support/machine_run.h"

using host::io::IoResult;
using host::machine::Converter;
using host::machine::Machine;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;
namespace cv = sim::converter;

namespace {

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

}  // namespace

// The configuration tool sets the converter to 38400 bit/s behind the link's back: the session's
// next request fails, and the card reset that repairs the link sets the line up again.
TEST(PrivateLineChanges, ALaterBringUpPutsTheLinksSettingsBack) {
  EXPECT_TRUE(test_support::RunMachine(1, [](Machine& m) {
    Converter& c = m.Plug();
    ReaderHandle r(m);
    ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    ASSERT_EQ(r.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    IoResult set =
        r.Control(IOCTL_REZOVO_COMMAND,
                  test_support::CommandRecord(COMMAND_WRITE_LINE_SETTINGS, cv::kRate38400),
                  COMMAND_RECORD_LENGTH);
    ASSERT_EQ(set.status, STATUS_SUCCESS);
    ASSERT_EQ(c.converter().line_settings().bit_rate, 38400u);
    NTSTATUS reset = STATUS_UNSUCCESSFUL;
    for (int i = 0; i < 3 && reset != STATUS_SUCCESS; ++i) reset = r.Power(SCARD_COLD_RESET).status;
    ASSERT_EQ(reset, STATUS_SUCCESS);
    EXPECT_EQ(c.converter().line_settings().bit_rate, 9600u);
    ASSERT_EQ(r.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(r.Transmit(kSelectMf).output, (Bytes{0x90, 0x00}));
  }));
}

// A converter request that fails after its status byte was echoed: the failure carries no bytes.
TEST(PrivateLineChanges, AFailedRequestReportsNoBytes) {
  EXPECT_TRUE(test_support::RunMachine(1, [](Machine& m) {
    Converter& c = m.Plug();
    ReaderHandle r(m);
    ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    c.converter().AddControlFault({std::nullopt, sim::ControlFaultKind::kStall, 2});
    IoResult set =
        r.Control(IOCTL_REZOVO_SET_PORT_VALUE, Bytes{0, 1}, SET_PORT_VALUE_OUTPUT_LENGTH);
    EXPECT_FALSE(NT_SUCCESS(set.status));
    EXPECT_EQ(set.information, 0u);
    IoResult read = r.Control(IOCTL_REZOVO_READ_PORT, Bytes{0, 1}, READ_PORT_OUTPUT_LENGTH);
    EXPECT_FALSE(NT_SUCCESS(read.status));
    EXPECT_EQ(read.information, 0u);
  }));
}
