// The private converter interface as the configuration tool uses it: requests from an
// application's handle on \Device\USBTESK0, started by the host's Plug and Play manager, against
// the simulated converter.
#include <gtest/gtest.h>

#include <optional>

#include "control/private_interface.h"
#include "host/machine/reader_handle.h"
#include "sim/converter/converter_descriptors.h"
#include "tests/control/command_record.h"
#include "tests/support/machine_run.h"

using host::io::IoResult;
using host::machine::Converter;
using host::machine::Machine;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;
namespace cv = sim::converter;

namespace {

// Error severity: the top two bits of the status set.
bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

const Bytes kGetStatus = {0x20, 0x13, 0x00, 0x80, 0x00};

// The reader on the first converter, opened; body runs with both.
void OnReader(const std::function<void(Machine&, Converter&, ReaderHandle&)>& body,
              uint64_t seed = 1) {
  EXPECT_TRUE(test_support::RunMachine(seed, [&](Machine& m) {
    Converter& c = m.Plug();
    ReaderHandle reader(m);
    ASSERT_EQ(reader.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    body(m, c, reader);
  }));
}

IoResult Command(ReaderHandle& r, uint8_t sub_command, uint16_t value, uint16_t index = 0) {
  return r.Control(IOCTL_REZOVO_COMMAND, test_support::CommandRecord(sub_command, value, index),
                   COMMAND_RECORD_LENGTH);
}
uint16_t DriverWord(ReaderHandle& r, uint16_t sub_code) {
  IoResult result = Command(r, COMMAND_DRIVER, sub_code);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, ULONG_PTR(COMMAND_RECORD_LENGTH));
  return result.output.size() == COMMAND_RECORD_LENGTH
             ? uint16_t(result.output[COMMAND_RECORD_INDEX] |
                        result.output[COMMAND_RECORD_INDEX + 1] << 8)
             : 0xDEAD;
}
IoResult Interface(ReaderHandle& r, uint16_t selector, uint8_t setting = 0) {
  Bytes record = {0xB0, 0xB1, 0xB2, 0xB3, uint8_t(selector), 0, 0, 0, setting, 0};
  return r.Control(IOCTL_REZOVO_INTERFACE, record, INTERFACE_RECORD_LENGTH);
}
// The reader still answers over the link.
void ExpectLinkWorks(ReaderHandle& r) {
  IoResult answer = r.RawReaderCommand(kGetStatus);
  ASSERT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(Bytes(answer.output.end() - 2, answer.output.end()), (Bytes{0x90, 0x00}));
}
size_t InTransfersSince(Converter& c, host::kernel::Ticks from) {
  size_t n = 0;
  for (const auto& u : c.Urbs()) {
    n += u.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && u.In() && u.submitted >= from;
  }
  return n;
}

Bytes PipeEntry(uint8_t endpoint, const char* name) {
  Bytes e(PIPE_INFO_ENTRY_LENGTH, 0);
  e[0] = endpoint & 0x80, e[1] = PIPE_INFO_TYPE_INTERRUPT, e[2] = endpoint, e[3] = 10;
  e[4] = 8, e[8] = 8;
  for (size_t i = 0; name[i]; ++i) e[PIPE_INFO_NAME + i] = uint8_t(name[i]);
  return e;
}

TEST(PrivateRequests, RecordLayoutsByteByByte) {
  OnReader([](Machine&, Converter& c, ReaderHandle& r) {
    Bytes pipes = {2, 0, 0, 0};
    for (const Bytes& e : {PipeEntry(0x81, "\\PIPE00"), PipeEntry(0x02, "\\PIPE01")}) {
      pipes.insert(pipes.end(), e.begin(), e.end());
    }
    IoResult info = r.Control(IOCTL_REZOVO_GET_PIPE_INFO, {}, 200);
    EXPECT_EQ(info.status, STATUS_SUCCESS);
    EXPECT_EQ(info.output, pipes);
    EXPECT_EQ(r.Control(IOCTL_REZOVO_GET_INFO, {}, 4).output, (Bytes{0x00, 0x09, 0x00, 0x01}));
    EXPECT_EQ(r.Control(IOCTL_REZOVO_GET_DEVICE_DESCRIPTOR, {}, 64).output,
              cv::BuildDeviceDescriptor(cv::StandardLayout()));
    EXPECT_EQ(r.Control(IOCTL_REZOVO_GET_CONFIGURATION_DESCRIPTOR, {}, 1024).output,
              cv::BuildConfigurationDescriptor(cv::StandardLayout()));
    const Bytes index = {cv::kManufacturerString};
    EXPECT_EQ(r.Control(IOCTL_REZOVO_GET_STRING_DESCRIPTOR, index, 4).output,
              (Bytes{32, USB_STRING_DESCRIPTOR_TYPE, 'Z', 0}));

    // Converter IN requests: the reply words replace Value and Index, the rest comes back.
    EXPECT_EQ(Command(r, COMMAND_READ_PORT, cv::kPortIdentity).output,
              (Bytes{0xA0, 0xA1, 0xA2, 0xA3, COMMAND_READ_PORT, 0x02, 0x01, 0x00, 0x00, 0xA9}));
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_GetReadBufferSize).output,
              (Bytes{0xA0, 0xA1, 0xA2, 0xA3, COMMAND_DRIVER, 0x40, 0x00, 0x00, 0x02, 0xA9}));
    EXPECT_EQ(Interface(r, INTERFACE_SELECT, 2).status, STATUS_SUCCESS);
    EXPECT_EQ(Interface(r, INTERFACE_QUERY).output,
              (Bytes{0xB0, 0xB1, 0xB2, 0xB3, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(c.converter().alternate_setting(), 2);

    // Raw converter requests echo the low byte of their status.
    EXPECT_EQ(r.Control(IOCTL_REZOVO_SET_PORT_VALUE, Bytes{0xEE, 0x01}, 1).output, Bytes{0x00});
    EXPECT_TRUE(c.converter().flow_control_on());
    EXPECT_EQ(r.Control(IOCTL_REZOVO_WRITE_PORT_DATA, Bytes{0xDE, 0xAD}, 1).output, Bytes{0x00});
    EXPECT_EQ(c.converter().user_data(), (Bytes{0xDE, 0xAD}));
    EXPECT_EQ(r.Control(IOCTL_REZOVO_READ_PORT, Bytes{0xEE, cv::kRequestCounters}, 2).output,
              (Bytes{0x00, 0x00}));
  });
}

TEST(PrivateRequests, RateChangeReselectsTheSettingWithTheMatchingInterval) {
  OnReader([](Machine&, Converter& c, ReaderHandle& r) {
    const uint16_t framing = cv::kParityEven | cv::kStopBitsOne;
    // Adaptation is on from the start; without it a new rate keeps the setting.
    EXPECT_EQ(DriverWord(r, REZOVO_Internal_GetRateAdaptation), 1);
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_DisableRateAdaptation).status,
              STATUS_SUCCESS);
    EXPECT_EQ(DriverWord(r, REZOVO_Internal_GetRateAdaptation), 0);
    EXPECT_EQ(Command(r, COMMAND_WRITE_LINE_SETTINGS, cv::kRate1200 | framing).status,
              STATUS_SUCCESS);
    EXPECT_EQ(c.converter().alternate_setting(), 0);
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_EnableRateAdaptation).status,
              STATUS_SUCCESS);
    // 1200 bit/s: 8 characters take 73 ms; of the intervals 10, 24 and 64 ms, 64 is nearest.
    EXPECT_EQ(Command(r, COMMAND_WRITE_LINE_SETTINGS, cv::kRate1200 | framing).status,
              STATUS_SUCCESS);
    EXPECT_EQ(c.converter().line_settings().bit_rate, 1200u);
    EXPECT_EQ(c.converter().alternate_setting(), 2);
    EXPECT_EQ(Interface(r, INTERFACE_QUERY).output[INTERFACE_RECORD_SETTING], 2);
    EXPECT_EQ(r.Control(IOCTL_REZOVO_GET_PIPE_INFO, {}, 92).output[4 + PIPE_INFO_INTERVAL], 64);
    // Framing alone leaves the setting; 9600 bit/s (9 ms) goes back to the 10 ms setting.
    EXPECT_EQ(Command(r, COMMAND_WRITE_LINE_SETTINGS, framing).status, STATUS_SUCCESS);
    EXPECT_EQ(c.converter().alternate_setting(), 2);
    EXPECT_EQ(Command(r, COMMAND_WRITE_LINE_SETTINGS, cv::kRate9600 | framing).status,
              STATUS_SUCCESS);
    EXPECT_EQ(c.converter().alternate_setting(), 0);
    ExpectLinkWorks(r);
  });
}

TEST(PrivateRequests, ReadingThreadAndPermanentReadingThroughTheCommandRecord) {
  OnReader([](Machine& m, Converter& c, ReaderHandle& r) {
    // The start completes before the link's bring-up, and the stop below takes the link: waiting
    // for the bring-up at the link's gate first, the stop's own time is what is measured.
    r.GetState();
    host::kernel::Ticks before = m.Now();
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_SetReadingThread, 0).status,
              STATUS_SUCCESS);
    // The stop ends with the thread: no fixed grace.
    EXPECT_LT(m.Now() - before, host::kernel::Milliseconds(100));
    EXPECT_EQ(DriverWord(r, REZOVO_Internal_IsReadingThread), 0);
    EXPECT_EQ(DriverWord(r, REZOVO_Internal_GetReadBufferSize), 8);
    // Meanwhile card tracking's queries read the converter directly.
    m.Wait(host::kernel::Seconds(3));
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_SetReadingThread, 1).status,
              STATUS_SUCCESS);
    EXPECT_EQ(DriverWord(r, REZOVO_Internal_IsReadingThread), 1);
    EXPECT_EQ(DriverWord(r, REZOVO_Internal_GetReadBufferSize), 512);
    ExpectLinkWorks(r);

    // Off: when the call returns no IN transfer is pending, and none starts until the link's
    // next block has been written (its answer is read); on: they start at once.
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_StopPermanentReading).status,
              STATUS_SUCCESS);
    host::kernel::Ticks off = m.Now();
    m.Wait(host::kernel::Seconds(3));
    std::optional<host::kernel::Ticks> first_in, first_out;
    for (const auto& u : c.Urbs()) {
      if (u.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) continue;
      if (u.submitted < off) {
        EXPECT_LE(u.completed_at, off);
      }
      std::optional<host::kernel::Ticks>& first = u.In() ? first_in : first_out;
      if (u.submitted >= off && !first) first = u.submitted;
    }
    ASSERT_TRUE(first_in && first_out);
    EXPECT_GT(*first_in, *first_out);
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_StopPermanentReading).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Command(r, COMMAND_DRIVER, REZOVO_Internal_StartPermanentReading).status,
              STATUS_SUCCESS);
    host::kernel::Ticks on = m.Now();
    m.Wait(host::kernel::Milliseconds(20));
    EXPECT_GE(InTransfersSince(c, on), 1u);
    EXPECT_EQ(Command(r, 0x77, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Command(r, COMMAND_DRIVER, 0x4000).status, STATUS_NOT_SUPPORTED);
  });
}

// The least input and output length of each code's record; 0 where none is read or written.
struct Layout {
  ULONG code;
  ULONG input;
  ULONG output;
};

TEST(PrivateRequests, HostileLengthsOfEveryCode) {
  const ULONG configuration = ULONG(cv::BuildConfigurationDescriptor(cv::StandardLayout()).size());
  const Layout layouts[] = {
      {IOCTL_REZOVO_GET_PIPE_INFO, 0, 92},
      {IOCTL_REZOVO_GET_DEVICE_DESCRIPTOR, 0, 18},
      {IOCTL_REZOVO_GET_CONFIGURATION_DESCRIPTOR, 0, configuration},
      {IOCTL_REZOVO_UNUSED_805, 0, 0},
      {IOCTL_REZOVO_UNUSED_806, 0, 0},
      {IOCTL_REZOVO_GET_INFO, 0, 4},
      {IOCTL_REZOVO_GET_STRING_DESCRIPTOR, 1, 0},
      {IOCTL_REZOVO_NOP, 0, 0},
      {IOCTL_REZOVO_SET_PORT_VALUE, 2, 1},
      {IOCTL_REZOVO_READ_PORT, 2, 2},
      {IOCTL_REZOVO_WRITE_PORT_DATA, 1, 1},
      {IOCTL_REZOVO_PURGE_1, 0, 0},
      {IOCTL_REZOVO_PURGE_2, 0, 0},
      {IOCTL_REZOVO_COMMAND, 10, 10},
      {IOCTL_REZOVO_INTERFACE, 10, 10},
  };
  OnReader([&](Machine&, Converter&, ReaderHandle& r) {
    for (const Layout& l : layouts) {
      ULONG record = std::max(l.input, l.output);
      std::vector<ULONG> lengths = {0, 1, 65536};
      if (record > 1) lengths.push_back(record - 1);
      for (ULONG in : lengths) {
        for (ULONG out : lengths) {
          SCOPED_TRACE(testing::Message()
                       << std::hex << l.code << std::dec << " in " << in << " out " << out);
          IoResult result = r.Control(l.code, Bytes(in, 0), out);
          EXPECT_LE(result.information, out);
          // A buffer short of its record is refused, and nothing comes back.
          if (in < l.input || out < l.output) {
            EXPECT_TRUE(IsError(result.status)) << std::hex << result.status;
            EXPECT_EQ(result.information, 0u);
          }
        }
      }
    }
    // An empty write of data would write the control register instead: refused.
    EXPECT_EQ(r.Control(IOCTL_REZOVO_WRITE_PORT_DATA, {}, 1).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Interface(r, 7).status, STATUS_INVALID_PARAMETER);
    ExpectLinkWorks(r);
  });
}

}  // namespace
