// The tool's command line: what it accepts, and one clear line for what it does not.
#include "tools/command_line.h"

#include <gtest/gtest.h>

#include "sim/fault_script.h"
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
      {{"--unit", "9"}, "--unit needs a number from 0 to 8"},
      {{"frobnicate"},
       "'frobnicate' is neither a command (session watch usb status reading purge raw vendor) "
       "nor an APDU in hex (see --help)"},
      {{"--converters", "11"}, "--converters needs a number from 1 to 10"},
      {{"--unit", "2", "--converters", "2"}, "--unit 2 needs at least 3 converters"},
      {{"--pcap"}, "--pcap needs a file name"},
      {{"watch", "--for", "0"}, "--for needs a time in seconds, more than 0 and at most 86400"},
      {{"watch", "eject@2"}, "watch event 'eject@2' is not insert@SECONDS or remove@SECONDS"},
      {{"watch", "remove@soon"},
       "watch event 'remove@soon' needs a time in seconds from 0 to 86400"},
      {{"watch", "remove@1", "remove@2"}, "remove@2: the slot is empty then"},
      {{"watch", "--card", "none", "remove@1"}, "remove@1: the slot is empty then"},
      {{"watch", "insert@1"}, "insert@1: a card is in the slot already"},
      {{"watch", "--card", "vicc", "remove@1"},
       "with --card vicc the watch follows the emulator live: no insert@ or remove@ times"},
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

TEST(CommandLine, ReaderProfileAndFaultScript) {
  CommandLine c =
      Parse({"--reader-profile", "realistic,addressed,sizes=32/64,parity=drop", "--faults",
             "2:h1:wtx=1,ifs=16;@2.5s:remove", "--faults", "@1s:noise=500ms/20>reader"});
  ASSERT_TRUE(c.ok) << c.error;
  const sim::ReaderProfile& p = c.options.reader_profile;
  EXPECT_EQ(p.name, "realistic");
  EXPECT_EQ(p.options.turnaround_max, host::kernel::Milliseconds(20));
  EXPECT_TRUE(p.options.addressed_control_blocks);
  EXPECT_EQ(p.options.answer_block_sizes, (std::vector<uint8_t>{32, 64}));
  EXPECT_EQ(p.options.parity, sim::CharacterErrors::kDrop);
  // Its text reads back as the same profile.
  sim::ReaderProfile again;
  std::string error;
  ASSERT_TRUE(sim::ParseReaderProfile(sim::ReaderProfileText(p), &again, &error)) << error;
  EXPECT_EQ(sim::ReaderProfileText(again), sim::ReaderProfileText(p));
  EXPECT_EQ(sim::ReaderProfileText(again),
            "ideal,turnaround=1ms-20ms,gap=2ms,card=10ms,card-byte=1250us,wtx-jitter=250ms,"
            "clock=2331,sizes=32/64,addressed,parity=drop");

  const sim::FaultScript& f = c.options.faults;
  ASSERT_EQ(f.steps.size(), 2u);
  EXPECT_EQ(f.steps[1].action, sim::ScriptStep::Action::kIfs);
  EXPECT_EQ(f.steps[1].value, 16);
  EXPECT_EQ(f.steps[1].exchange, 2);
  EXPECT_EQ(f.steps[1].at, (sim::ExchangePoint{sim::ExchangePoint::Chain::kHost, 1}));
  ASSERT_EQ(f.timed.size(), 2u);
  EXPECT_EQ(f.timed[0].kind, sim::TimedFault::Kind::kRemove);
  EXPECT_EQ(f.timed[0].at, host::kernel::Milliseconds(2500));
  EXPECT_EQ(f.timed[1].kind, sim::TimedFault::Kind::kNoise);
  EXPECT_EQ(f.timed[1].duration, host::kernel::Milliseconds(500));
  EXPECT_TRUE(f.timed[1].toward_reader);

  EXPECT_EQ(Parse({"--reader-profile", "fast"}).error,
            "unknown reader profile 'fast': use ideal or realistic");
  EXPECT_EQ(Parse({"--reader-profile", "ideal,gap=2"}).error,
            "bad value for reader setting 'gap=2'");
  // Each refusal says what is wrong, not only that something is.
  EXPECT_EQ(Parse({"--faults", "1:h0:wtx=1"}).error,
            "cannot read fault '1:h0:wtx=1': 'h0' is not a block: hK for the reader's reply to "
            "the host's K-th block, aJ for once the host acknowledged the J-th answer block "
            "(counted from 1)");
  EXPECT_EQ(Parse({"--faults", "1:h1:wtx"}).error,
            "cannot read fault '1:h1:wtx': wtx takes a multiplier, wtx=1 to wtx=255");
  EXPECT_EQ(Parse({"--faults", "1:h1:pause"}).error,
            "cannot read fault '1:h1:pause': unknown action 'pause': use wtx=M, ifs=S, abort, "
            "restart, remove or sw=XXXX");
  EXPECT_EQ(Parse({"--faults", "@2s:unplug"}).error,
            "cannot read fault '@2s:unplug': unknown event 'unplug': use restart, remove, "
            "insert, dtr-drop=D, silence=D, noise=D/N, burst=D/RATE, break=D, inject=XX[!] or "
            "echo=D");
  EXPECT_EQ(Parse({"--reader-profile", "realistic,sizs=32"}).error,
            "unknown reader setting 'sizs': use turnaround, gap, guard, card, card-byte, wtx, "
            "wtx-jitter, no-wtx, clock, ifsc, sizes, addressed, parity, bad-blocks, deaf, "
            "removal-at-once, holdup, chain-timeout, seed");
  // Scripted faults read back as they were written.
  sim::FaultScript script;
  const char* items = "1:a1:wtx=1;2:h3:sw=6F00;@2500ms:inject=3F!;@1s:noise=2s/50>reader";
  ASSERT_TRUE(sim::ParseFaultScript(items, &script, &error)) << error;
  std::string back;
  for (const sim::ScriptStep& step : script.steps) back += sim::FaultItemText(step) + ";";
  for (const sim::TimedFault& f : script.timed) back += sim::FaultItemText(f) + ";";
  EXPECT_EQ(back, std::string(items) + ";");
  EXPECT_FALSE(Parse({"--faults", "@1s:inject=5"}).ok);
}

TEST(CommandLine, CommandsTheirOperandsAndTheMachineOptions) {
  CommandLine c = Parse({"watch", "insert@6", "--card", "none", "remove@4.5", "insert@0.25",
                         "--for", "10", "--unit", "1", "--interface", "--usb", "--pcap", "x.pcap"});
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.options.command, Command::kWatch);
  ASSERT_EQ(c.options.events.size(), 3u);  // in time order
  EXPECT_TRUE(c.options.events[0].insert);
  EXPECT_EQ(c.options.events[0].at, host::kernel::Milliseconds(250));
  EXPECT_FALSE(c.options.events[1].insert);
  EXPECT_EQ(c.options.events[2].at, host::kernel::Seconds(6));
  EXPECT_EQ(c.options.watch_for, host::kernel::Seconds(10));
  EXPECT_EQ(c.options.unit, 1u);
  EXPECT_TRUE(c.options.reader_interface);
  EXPECT_TRUE(c.options.usb);
  EXPECT_TRUE(c.options.trace);  // the URBs are shown in the trace
  EXPECT_EQ(c.options.pcap, "x.pcap");

  c = Parse({"session", "80F00010", "--converters", "10"});
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.options.command, Command::kSession);
  EXPECT_EQ(c.options.apdus.size(), 1u);
  EXPECT_EQ(c.options.converters, 10u);
}
