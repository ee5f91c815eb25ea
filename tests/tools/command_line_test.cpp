// The tool's command line: what it accepts, and one clear line for what it does not.
#include "tools/command_line.h"

#include <gtest/gtest.h>

#include "sim/t1_block.h"

using namespace tools;

namespace {

CommandLine Parse(std::vector<std::string> arguments) { return ParseCommandLine(arguments); }

}  // namespace

TEST(CommandLine, OptionsAndApdusInAnyOrder) {
  CommandLine c = Parse({"00A4000C023F00", "--trace", "--card", "t0", "--protocol", "t0", "--rate",
                         "115200", "00 b0 00 00 04", "--seed", "7", "--silent-reader"});
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_TRUE(c.options.trace);
  EXPECT_TRUE(c.options.silent_reader);
  EXPECT_EQ(c.options.card, CardChoice::kT0Only);
  EXPECT_EQ(c.options.protocol, ProtocolChoice::kT0);
  EXPECT_EQ(c.options.rate, 115200u);
  EXPECT_EQ(c.options.seed, 7u);
  ASSERT_EQ(c.options.apdus.size(), 2u);
  EXPECT_EQ(sim::t1::Hex(c.options.apdus[0]), "00 A4 00 0C 02 3F 00");
  EXPECT_EQ(sim::t1::Hex(c.options.apdus[1]), "00 B0 00 00 04");
}

TEST(CommandLine, DefaultsAreTheBuiltInCardOverT1At9600) {
  CommandLine c = Parse({});
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.options.card, CardChoice::kBuiltin);
  EXPECT_EQ(c.options.protocol, ProtocolChoice::kT1);
  EXPECT_EQ(c.options.rate, 9600u);
  EXPECT_FALSE(c.options.trace);
  EXPECT_FALSE(c.options.silent_reader);
  EXPECT_TRUE(c.options.apdus.empty());
}

TEST(CommandLine, WrongInputGetsOneLine) {
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  } cases[] = {
      {{"00A4X0"}, "APDU '00A4X0' is not hex: unexpected 'X'"},
      {{"00A40"}, "APDU '00A40' is not hex: a byte needs two digits"},
      {{"00A4"}, "APDU '00A4' is too short: a command has at least 4 bytes"},
      {{"--bogus"}, "unknown option '--bogus' (see --help)"},
      {{"--card", "sim"}, "unknown card 'sim': use builtin, t0, none or vicc"},
      {{"--card"}, "--card needs a value: builtin, t0, none or vicc"},
      {{"--rate", "9601"}, "--rate must be one of 9600 19200 28800 38400 57600 115200"},
      {{"--rate", "96k"}, "--rate must be one of 9600 19200 28800 38400 57600 115200"},
      {{"--protocol", "t2"}, "unknown protocol 't2': use t1 or t0"},
      {{"--vicc-port", "70000"}, "--vicc-port needs a port number from 1 to 65535"},
      {{"--seed", "-1"}, "--seed needs a number"},
      {{" : "}, "APDU ' : ' holds no bytes"},
  };
  for (const Case& k : cases) {
    CommandLine c = Parse(k.arguments);
    EXPECT_FALSE(c.ok) << k.arguments[0];
    EXPECT_EQ(c.error, k.error);
    EXPECT_EQ(c.error.find('\n'), std::string::npos);
  }
}

TEST(CommandLine, ApduLengthLimitIsAShortApdu) {
  std::string longest = "80F20000FF";
  for (int i = 0; i < 255; ++i) longest += "00";
  longest += "00";  // Le
  EXPECT_TRUE(Parse({longest}).ok);
  CommandLine c = Parse({longest + "00"});
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.error.find("is too long: 262 bytes, at most 261"), std::string::npos);
}
