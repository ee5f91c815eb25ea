// The configuration commands as a person runs them: their command lines, and their output
// against the simulated converter and reader, in virtual time.
#include "tools/configuration_commands.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tools;

namespace {

struct Outcome {
  int code;
  std::string out, err;
};

SessionOptions Parse(std::vector<std::string> arguments) {
  CommandLine c = ParseCommandLine(arguments);
  EXPECT_TRUE(c.ok) << c.error;
  return c.options;
}

Outcome RunTool(int (*runner)(const SessionOptions&, std::ostream&, std::ostream&),
                std::vector<std::string> arguments) {
  std::ostringstream out, err;
  int code = runner(Parse(arguments), out, err);
  return {code, out.str(), err.str()};
}

TEST(ConfigurationCommands, WrongInputIsOneLineAndNothingRuns) {
  const std::vector<std::vector<std::string>> wrong = {
      {"raw"},          {"raw", "20"},     {"raw", "20 13,"},   {"raw", "2X 13"},
      {"usb", "256"},   {"usb", "1", "2"}, {"reading"},         {"reading", "maybe"},
      {"purge", "all"}, {"status", "1"},   {"vendor", "10000"}, {"vendor", "7A000", "1"},
  };
  for (const auto& arguments : wrong) {
    CommandLine c = ParseCommandLine(arguments);
    EXPECT_FALSE(c.ok) << arguments[0];
    EXPECT_EQ(c.error.find('\n'), std::string::npos);
    EXPECT_FALSE(c.error.empty());
  }
  SessionOptions o = Parse({"raw", "20", "13", "00", "80", "00,", "20100000"});
  ASSERT_EQ(o.raw_commands.size(), 2u);
  EXPECT_EQ(o.raw_commands[0], (std::vector<uint8_t>{0x20, 0x13, 0x00, 0x80, 0x00}));
  EXPECT_EQ(o.raw_commands[1], (std::vector<uint8_t>{0x20, 0x10, 0x00, 0x00}));
  EXPECT_EQ(Parse({"usb", "2"}).setting, 2);
  EXPECT_EQ(Parse({"purge", "receive"}).purge, PurgeChoice::kReceive);
  EXPECT_EQ(Parse({"vendor", "7a001"}).vendor_tag, 0x7A001u);
}

TEST(ConfigurationCommands, RawNamesTheCommandAndExplainsTheAnswer) {
  Outcome o = RunTool(RunRaw, {"raw", "20 13 00 80 00,", "20 10 00 00,", "20 11 00 00"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out,
            "device: \\Device\\USBTESK0\n"
            "> 20 13 00 80 00  status\n"
            "< 80 01 01  card status: card present, not powered\n"
            "< 90 00  success\n"
            "> 20 10 00 00  reset reader\n"
            "< 90 00  success\n"
            "> 20 11 00 00  (not a known reader command)\n"
            "< 6D 00  error: instruction code not supported or invalid\n");
}

TEST(ConfigurationCommands, UsbShowsDescriptorsPipesAndTheSettingSelected) {
  Outcome o = RunTool(RunUsb, {"usb", "1"});
  EXPECT_EQ(o.code, 0) << o.err;
  for (const char* line : {
           "selected alternate setting 1 of interface 0\n",
           "Device Descriptor:\n  bLength                18\n  bDescriptorType         1\n"
           "  bcdUSB               1.10\n",
           "  idVendor           0xf7a5\n  idProduct          0x0c01\n",
           "  iManufacturer           1 Zarq Simulation\n",
           "    wTotalLength       0x004e\n",
           "        bEndpointAddress     0x81  EP 1 IN\n        bmAttributes            3\n"
           "          Transfer Type            Interrupt\n",
           "        wMaxPacketSize     0x0008  1x 8 bytes\n        bInterval              64\n",
           "pipe table (the driver's): 2 pipes\n"
           "  \\PIPE00  EP 0x81 IN   interrupt  interval  24 ms  max packet 8  max transfer 8\n"
           "  \\PIPE01  EP 0x02 OUT  interrupt  interval  24 ms  max packet 8  max transfer 8\n"
           "interface setting in use: interface 0, alternate setting 1\n",
       }) {
    EXPECT_NE(o.out.find(line), std::string::npos) << line << "\nin\n" << o.out;
  }
}

// The tool says what the driver selected, which is setting 0 for one the converter lacks.
TEST(ConfigurationCommands, UsbReportsTheSettingTheDriverSelected) {
  Outcome o = RunTool(RunUsb, {"usb", "5"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("device: \\Device\\USBTESK0\n"
                       "asked for alternate setting 5 of interface 0; the driver selected "
                       "setting 0 instead (it selects setting 0 when asked for one the converter "
                       "does not have)\n"),
            std::string::npos)
      << o.out;
  EXPECT_EQ(o.out.find("selected alternate setting 5"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("interface setting in use: interface 0, alternate setting 0\n"),
            std::string::npos);
}

TEST(ConfigurationCommands, StatusDecodesEachBit) {
  Outcome o = RunTool(RunStatus, {"status"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out,
            "device: \\Device\\USBTESK0\n"
            "converter status (the first four bytes of each reply):\n"
            "port 1, capabilities: 00 00 00 40\n"
            "  byte 3 bit 6  output flow control offered                  yes\n"
            "  byte 3 bit 5  closing the device stops permanent reading   no\n"
            "port 2, identity: 02 01 00 00\n"
            "  bytes 0-1     firmware version                             1.02\n"
            "  byte 2 bit 0  control register: output flow control        off\n"
            "port 4, flow control: 00 00 01 00\n"
            "  byte 0 bit 0  output flow control                          off\n"
            "  byte 2 bit 0  transmit FIFO has room for a packet          yes\n"
            "counters: 00 00 00 00\n"
            "  bytes 0-1     bytes waiting in the receive FIFO            0\n"
            "  bytes 2-3     bytes lost to a full receive FIFO            0\n");
}

TEST(ConfigurationCommands, ReadingPurgeAndVendor) {
  Outcome off = RunTool(RunReading, {"reading", "off"});
  EXPECT_EQ(off.code, 0) << off.err;
  EXPECT_NE(off.out.find("permanent reading off\n"), std::string::npos);
  EXPECT_NE(off.out.find("IN transfer pending 20 ms later: no"), std::string::npos);
  Outcome stop = RunTool(RunReading, {"reading", "stop"});
  EXPECT_NE(stop.out.find("reading thread stopped\nreading thread: none, read buffer 8 bytes\n"),
            std::string::npos);
  Outcome purge = RunTool(RunPurge, {"purge"});
  EXPECT_EQ(purge.out, "device: \\Device\\USBTESK0\ntransmit FIFO purged\nreceive FIFO purged\n");
  Outcome vendor = RunTool(RunVendor, {"vendor"});
  EXPECT_EQ(vendor.out,
            "device: \\Device\\USBTESK0\n"
            "vendor request (attribute 7A000): \"Vendor IOCTL\", 12 bytes\n");
}

}  // namespace
