// The handler's parts that pcscd never sees directly: device names and the status table.
#include <gtest/gtest.h>

#include "pcsc/control_code_name.h"
#include "pcsc/device_spec.h"
#include "pcsc/status_table.h"
#include "platform/smclib.h"

namespace {

TEST(DeviceSpec, TakesOnlyTheNamesItKnows) {
  std::string error;
  for (const char* name : {"zarq7:", "\"builtin", "smartcard", "builtin,rate=9601", "vicc",
                           "builtin,port=1", "t0,seed", "none,colour=red"}) {
    EXPECT_FALSE(pcsc::ParseDeviceName(name, &error)) << name;
  }
  // The name in the log stands in one pair of quotes, whether pcscd's configuration quoted it.
  EXPECT_FALSE(pcsc::ParseDeviceName("\"zarq7:bogus\"", &error));
  EXPECT_EQ(error.substr(0, error.find(" (")),
            "device name \"zarq7:bogus\": unknown card \"bogus\"");
  auto spec = pcsc::ParseDeviceName("\"zarq7:vicc,port=35999,rate=57600,seed=4\"", &error);
  ASSERT_TRUE(spec);
  EXPECT_EQ(spec->card, pcsc::CardKind::kVicc);
  EXPECT_EQ(spec->vicc_port, 35999);
  EXPECT_EQ(spec->rate, 57600u);
  EXPECT_EQ(spec->seed, 4u);
}

TEST(StatusTable, SaysWhatEachFailureMeansToPcscd) {
  using pcsc::IfdCode;
  using pcsc::Operation;
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_NOT_SUPPORTED, Operation::kProtocol),
            IfdCode::kProtocolNotSupported);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_NOT_SUPPORTED, Operation::kAttribute), IfdCode::kErrorTag);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_NOT_SUPPORTED, Operation::kTransmit), IfdCode::kNotSupported);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_IO_TIMEOUT, Operation::kTransmit), IfdCode::kResponseTimeout);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_DELETE_PENDING, Operation::kPresence), IfdCode::kNoSuchDevice);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_UNSUCCESSFUL, Operation::kPower), IfdCode::kErrorPowerAction);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_UNSUCCESSFUL, Operation::kTransmit),
            IfdCode::kCommunicationError);
}

}  // namespace

// The handler's log names a refused request by its control code, never as a status.
TEST(ControlCodeName, NamesTheRequestsPcscdSends) {
  EXPECT_EQ(pcsc::ControlCodeName(IOCTL_SMARTCARD_GET_STATE), "IOCTL_SMARTCARD_GET_STATE");
  EXPECT_EQ(pcsc::ControlCodeName(IOCTL_SMARTCARD_TRANSMIT), "IOCTL_SMARTCARD_TRANSMIT");
  EXPECT_EQ(pcsc::ControlCodeName(SCARD_CTL_CODE(55)), "raw reader command 0x003100DC");
  EXPECT_EQ(pcsc::ControlCodeName(0x00222000), "control code 0x00222000");
}
