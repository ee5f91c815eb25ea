// What zarq7.exe shares with the host tool, checked on the host: its command line reads the
// operands with the host's words, and the private requests' records are read from whatever a
// transport brings back, never past it.
#include <gtest/gtest.h>

#include <deque>

#include "platform/ntstatus.h"
#include "tools/command_line.h"
#include "tools/converter_control.h"
#include "tools/windows/windows_options.h"

namespace {

using tools::ConverterControl;
using tools::RequestAnswer;

TEST(WindowsCommandLine, RefusesOperandsWithTheHostToolsWords) {
  const std::vector<std::vector<std::string>> refused = {{"raw"},
                                                         {"raw", "20"},
                                                         {"raw", "20 13,"},
                                                         {"raw", "2X 13"},
                                                         {"usb", "256"},
                                                         {"usb", "1", "2"},
                                                         {"reading"},
                                                         {"reading", "maybe"},
                                                         {"purge", "all"},
                                                         {"status", "1"},
                                                         {"vendor", "10000"},
                                                         {"vendor", "7A000", "1"},
                                                         {"00A4"},
                                                         {"00A4000C0"},
                                                         {"--protocol", "t2"},
                                                         {"--for", "0"},
                                                         {"--unit", "9"},
                                                         {"--nonsense"},
                                                         {std::string(600, '0')}};
  for (const std::vector<std::string>& arguments : refused) {
    tools::CommandLine host = tools::ParseCommandLine(arguments);
    tools::win::CommandLine windows = tools::win::ParseCommandLine(arguments);
    ASSERT_FALSE(host.ok) << arguments[0];
    ASSERT_FALSE(windows.ok) << arguments[0];
    EXPECT_EQ(windows.error, host.error) << arguments[0];
  }
}

TEST(WindowsCommandLine, ReadsCommandsOptionsAndOperands) {
  tools::win::CommandLine c = tools::win::ParseCommandLine(
      {"00A4000C023F00", "--protocol", "t0", "--unit", "3", "80F00010"});
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.options.command, tools::win::Command::kSession);
  EXPECT_FALSE(c.options.t1);
  EXPECT_EQ(c.options.unit, 3u);
  ASSERT_EQ(c.options.apdus.size(), 2u);
  EXPECT_EQ(c.options.apdus[1], (std::vector<uint8_t>{0x80, 0xF0, 0x00, 0x10}));

  c = tools::win::ParseCommandLine({"raw", "20", "13", "00", "80", "00,", "20100000"});
  ASSERT_TRUE(c.ok) << c.error;
  ASSERT_EQ(c.options.raw_commands.size(), 2u);
  EXPECT_EQ(c.options.raw_commands[0], (std::vector<uint8_t>{0x20, 0x13, 0x00, 0x80, 0x00}));

  c = tools::win::ParseCommandLine({"watch", "--for", "2.5", "--device", "\\\\.\\USBTESK0"});
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.options.watch_for, host::kernel::Milliseconds(2500));
  EXPECT_EQ(c.options.device, "\\\\.\\USBTESK0");

  c = tools::win::ParseCommandLine({"watch", "remove@2"});
  EXPECT_FALSE(c.ok);  // a real card goes in and out by hand
  EXPECT_EQ(tools::win::ParseCommandLine({"vendor", "7a001"}).options.vendor_tag, 0x7A001u);
  EXPECT_EQ(tools::win::ParseCommandLine({"list"}).options.command, tools::win::Command::kList);
  EXPECT_TRUE(tools::win::ParseCommandLine({"--help"}).help);
}

// A transport that answers from a script and keeps what was asked.
class ScriptedRequests : public tools::DeviceRequests {
 public:
  struct Request {
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t output_length;
  };
  RequestAnswer Control(uint32_t code, std::span<const uint8_t> input,
                        uint32_t output_length) override {
    requests.push_back({code, {input.begin(), input.end()}, output_length});
    RequestAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<RequestAnswer> answers;
  std::vector<Request> requests;
};

std::vector<uint8_t> PipeRecord(uint32_t count, size_t entries) {
  std::vector<uint8_t> record(4 + 44 * entries);
  record[0] = uint8_t(count);
  for (size_t i = 0; i < entries; ++i) {
    uint8_t* entry = record.data() + 4 + 44 * i;
    entry[2] = uint8_t(i == 0 ? 0x81 : 0x02);  // endpoint
    entry[1] = 1;                              // interrupt
    entry[3] = 10;                             // interval
    entry[4] = 8;                              // max packet
    const char name[] = "\\PIPE00";
    std::copy(name, name + sizeof name, entry + 12);
    entry[12 + 6] = uint8_t('0' + i);
  }
  return record;
}

TEST(WindowsSharedRecords, PrivateRecordsAreReadFromWhatCameBackAlone) {
  ScriptedRequests device;
  ConverterControl control(device);
  // Two pipes announced, one delivered: the record is refused, not read past its end.
  device.answers = {{STATUS_SUCCESS, PipeRecord(2, 1)}, {STATUS_SUCCESS, PipeRecord(2, 2)}};
  std::vector<tools::PipeInfo> pipes;
  EXPECT_EQ(control.Pipes(&pipes), STATUS_DEVICE_PROTOCOL_ERROR);
  ASSERT_EQ(control.Pipes(&pipes), STATUS_SUCCESS);
  ASSERT_EQ(pipes.size(), 2u);
  EXPECT_EQ(pipes[1].name, "\\PIPE01");
  EXPECT_EQ(pipes[0].endpoint, 0x81);
  EXPECT_EQ(device.requests[0].code, tools::kIoctlGetPipeInfo);
  EXPECT_EQ(device.requests[0].output_length, 4u + 2 * 44);

  // A command record cut short, a failure, then a whole one with the result word at offset 7.
  device.answers = {{STATUS_SUCCESS, std::vector<uint8_t>(9)},
                    {STATUS_NOT_SUPPORTED, {}},
                    {STATUS_SUCCESS, {0, 0, 0, 0, 0xFF, 0x40, 0x00, 0x00, 0x02, 0}}};
  uint16_t size = 0;
  EXPECT_EQ(control.Driver(tools::kGetReadBufferSize, 0, &size), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(control.Driver(tools::kGetReadBufferSize, 0, &size), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(control.Driver(tools::kGetReadBufferSize, 0, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 512);
  const std::vector<uint8_t> sent = {0, 0, 0, 0, 0xFF, 0x40, 0x00, 0x00, 0x00, 0};
  EXPECT_EQ(device.requests.back().input, sent);
  EXPECT_EQ(device.requests.back().code, tools::kIoctlCommand);

  // A string descriptor: UTF-16LE after its two header bytes, an odd last byte left out.
  device.answers = {{STATUS_SUCCESS, {7, 3, 'Z', 0, '7', 0, 'x'}}, {STATUS_SUCCESS, {2}}};
  std::string text;
  EXPECT_EQ(control.String(1, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "Z7");
  EXPECT_EQ(control.String(2, &text), STATUS_DEVICE_PROTOCOL_ERROR);
}

}  // namespace
