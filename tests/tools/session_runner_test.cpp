// Whole sessions and watches as the tool runs them: the driver on the whole stack of a simulated
// machine, in virtual time, seen through what the tool prints.
#include "tools/session_runner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "host/usb/usbpcap.h"
#include "tools/watch.h"

using namespace tools;

namespace {

struct Outcome {
  int code;
  std::string out, err;
};

Outcome RunTool(SessionOptions options) {
  std::ostringstream out, err;
  int code = options.command == Command::kWatch ? RunWatch(options, out, err)
                                                : RunSession(options, out, err);
  return {code, out.str(), err.str()};
}

SessionOptions WithApdus(std::vector<std::vector<uint8_t>> apdus) {
  SessionOptions o;
  o.apdus = std::move(apdus);
  return o;
}

// Where text occurs in out, npos when it does not.
size_t At(const Outcome& o, const std::string& text) { return o.out.find(text); }

// The trace's times, in the order its lines come.
std::vector<double> TraceTimes(const std::string& out) {
  std::vector<double> times;
  std::regex stamp(R"(^  \[ *([0-9]+\.[0-9]+) s\])");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, stamp)) times.push_back(std::stod(m[1]));
  }
  return times;
}

}  // namespace

TEST(Session, OnTheWholeStackThroughUsbtesk0) {
  Outcome o = RunTool(WithApdus({{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},
                                 {0x80, 0xF0, 0x00, 0x04},
                                 {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34}}));
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out,
            "device: \\Device\\USBTESK0\n"
            "reader: ZARIK Systems Z7 Ira DUR, version 0.92 build 61, unit 0, line 9600 bit/s\n"
            "card: card present, not powered\n"
            "ATR: 3B 93 11 80 31 FE 45 80 31 C0 F9\n"
            "  direct convention (TS 3B)\n"
            "  protocols offered: T=0, T=1\n"
            "  clock rate conversion F 372, bit rate adjustment D 1 (TA1 11)\n"
            "  extra guard time N 0 (default: no TC1)\n"
            "  T=0 waiting integer WI 10 (default: no TC2)\n"
            "  T=1 IFSC 254 (TA3 FE)\n"
            "  T=1 BWI 4, CWI 5 (TB3 45)\n"
            "  T=1 check LRC (default: no TC for T=1)\n"
            "  historical bytes: 80 31 C0\n"
            "    category 80: compact-TLV data objects\n"
            "    card service data C0: selection by full DF name, by partial DF name; EF.DIR and "
            "EF.ATR read by READ RECORD; card with an MF\n"
            "  check byte TCK F9 correct\n"
            "protocol: T=1\n"
            "> 00 A4 00 0C 02 3F 00\n"
            "< 90 00  success\n"
            "> 80 F0 00 04\n"
            "< 00 01 02 03\n"
            "< 90 00  success\n"
            "> 00 A4 00 0C 02 12 34\n"
            "< 6A 82  error: file or application not found\n");
}

TEST(Session, TheTraceStartsAtPlugInAndGoesForwardInTime) {
  SessionOptions options = WithApdus({{0x80, 0xF0, 0x00, 0x04}});
  options.trace = true;
  Outcome o = RunTool(options);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(At(o,
               "trace from plug-in, virtual time since the machine booted; a block stands at "
               "the time of its first character:\n"),
            0u)
      << o.out;
  // Plug-in, configuration, the DTR cycle, then the bring-up's blocks, before the device opens.
  size_t plugged = At(o, "] converter plugged in at USB address 1\n");
  size_t configured = At(o, "] configuration 1 selected\n");
  size_t dtr_off = At(o, "] DTR off: the reader loses power\n");
  size_t dtr_on = o.out.find("] DTR on: the reader powers up\n", dtr_off);
  size_t held = At(o, "] DTR on (held)\n");
  size_t resynch = At(o, "] host->reader 00 C0 00 C0  S(RESYNCH request) NAD 00, LRC ok\n");
  size_t opened = At(o, "] opened \\Device\\USBTESK0: STATUS_SUCCESS\n");
  size_t device = At(o, "\ndevice: \\Device\\USBTESK0\n");
  EXPECT_LT(plugged, configured) << o.out;
  EXPECT_LT(configured, dtr_off);
  EXPECT_LT(dtr_off, dtr_on);
  EXPECT_LT(dtr_on, held);
  EXPECT_LT(held, resynch);
  // The device opens once started; the link comes up behind its gate meanwhile.
  EXPECT_LT(configured, opened);
  EXPECT_LT(opened, device);
  EXPECT_NE(device, std::string::npos);
  // Addresses as source and destination, reader commands by name.
  EXPECT_NE(At(o, "I(0,no more) NAD 12 (host to reader): status, INF=20 13 00 80 00, LRC ok"),
            std::string::npos);
  EXPECT_NE(At(o, "NAD 12 (host to reader): reset slot, INF=20 10 01 01, LRC ok"),
            std::string::npos);
  EXPECT_NE(At(o,
               "NAD 12 (host to reader): set parameters: protocol T=1, INF=80 60 01 00 03 22 "
               "01 02, LRC ok"),
            std::string::npos);
  EXPECT_NE(At(o, "NAD 02 (host to card), INF=80 F0 00 04, LRC ok"), std::string::npos);
  EXPECT_NE(At(o, "NAD 20 (card to host), INF=00 01 02 03 90 00, LRC ok"), std::string::npos);
  EXPECT_NE(At(o, "] closed \\Device\\USBTESK0\n"), std::string::npos);
  EXPECT_EQ(At(o, "URB"), std::string::npos);  // only with --usb
  std::vector<double> times = TraceTimes(o.out);
  ASSERT_GT(times.size(), 20u);
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << o.out;
}

TEST(Session, UsbAddsTheUrbsAndPcapWritesTheCapture) {
  std::string pcap = ::testing::TempDir() + "zarq7_session.pcap";
  SessionOptions options = WithApdus({{0x80, 0xF0, 0x00, 0x04}});
  options.trace = options.usb = true;
  options.pcap = pcap;
  Outcome o = RunTool(options);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(At(o,
               "] URB 1 GET_DESCRIPTOR_FROM_DEVICE setup 80 06 00 01 00 00 12 00 -> "
               "STATUS_SUCCESS in 1.000 ms: 12 01"),
            std::string::npos)
      << o.out;
  EXPECT_NE(At(o, "BULK_OR_INTERRUPT_TRANSFER ep 02 out data 02 00 04 80 F0 00 04"),
            std::string::npos);
  EXPECT_NE(At(o, "(DTR off: the reader loses power)"), std::string::npos);
  std::vector<double> times = TraceTimes(o.out);
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << o.out;

  std::ifstream file(pcap, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 24u);
  uint32_t magic, link_type;
  std::memcpy(&magic, bytes.data(), sizeof magic);
  std::memcpy(&link_type, bytes.data() + 20, sizeof link_type);
  EXPECT_EQ(magic, host::usb::kPcapMagic);
  EXPECT_EQ(link_type, host::usb::kLinkTypeUsbPcap);
}

TEST(Session, TheUnitAFlagNamesAndTheReaderInterface) {
  SessionOptions options;
  options.converters = 10;
  options.unit = 8;
  options.card = CardChoice::kNone;
  Outcome o = RunTool(options);
  EXPECT_NE(At(o,
               "converter at USB address 9: \\Device\\USBTESK8\n"
               "converter at USB address 10: no device (STATUS_OBJECT_NAME_COLLISION)\n"
               "device: \\Device\\USBTESK8\n"
               "reader: ZARIK Systems Z7 Ira DUR, version 0.92 build 61, unit 8, line 9600 "
               "bit/s\ncard: no card\n"),
            std::string::npos)
      << o.out;
  EXPECT_EQ(o.err, "zarq7: card reset failed: STATUS_NO_MEDIA\n");

  SessionOptions through_interface;
  through_interface.reader_interface = true;
  o = RunTool(through_interface);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_TRUE(std::regex_search(
      o.out, std::regex(R"(^device: \\\?\?\\.*\{50DD5230-BA8A-11D1-BF5D-0000F805F530\} )"
                        R"(\(\\Device\\USBTESK0\)\n)")))
      << o.out;
}

TEST(Session, T0AndTheRateSwitchThroughTheDriver) {
  SessionOptions options = WithApdus({{0x80, 0xF0, 0x00, 0x02}});
  options.card = CardChoice::kT0Only;
  options.protocol = ProtocolChoice::kT0;
  Outcome o = RunTool(options);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(At(o, "protocols offered: T=0\n"), std::string::npos) << o.out;
  EXPECT_NE(At(o, "protocol: T=0\n"), std::string::npos) << o.out;
  EXPECT_NE(At(o, "< 00 01\n< 90 00  success\n"), std::string::npos) << o.out;

  // The rate goes to the reader with the driver's raw reader command; a driver without one says
  // so, and the session stops there.
  options.rate = 115200;
  options.trace = true;
  o = RunTool(options);
  if (o.code != 0) {
    EXPECT_EQ(o.err,
              "zarq7: rate switch to 115200 bit/s failed: STATUS_INVALID_DEVICE_REQUEST (it needs "
              "the driver's raw reader command)\n");
  } else {
    EXPECT_NE(At(o, "NAD 12 (host to reader): set parameters: rate 115200 bit/s"),
              std::string::npos)
        << o.out;
    EXPECT_NE(At(o, "line 115200 bit/s\n"), std::string::npos) << o.out;
    EXPECT_NE(At(o, "< 00 01\n< 90 00  success\n"), std::string::npos) << o.out;
  }
}

TEST(Session, FailuresSayWhatFailedAndExitNonZero) {
  SessionOptions none;
  none.card = CardChoice::kNone;
  Outcome o = RunTool(none);
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(At(o, "card: no card\n"), std::string::npos) << o.out;
  EXPECT_EQ(o.err, "zarq7: card reset failed: STATUS_NO_MEDIA\n");

  // A reader that stops answering once the link is up: the reset fails, and says how.
  SessionOptions silent;
  silent.silent_reader = true;
  o = RunTool(silent);
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(At(o, "ATR:"), std::string::npos) << o.out;
  EXPECT_EQ(o.err, "zarq7: card reset failed: STATUS_IO_TIMEOUT\n");

  SessionOptions t1_on_t0_card;
  t1_on_t0_card.card = CardChoice::kT0Only;
  o = RunTool(t1_on_t0_card);
  EXPECT_EQ(o.code, 1);
  // The ATR came back before the selection: it says the card has no T=1.
  EXPECT_EQ(o.err,
            "zarq7: protocol selection failed: the card's ATR does not offer T=1 (it offers only "
            "T=0; try --protocol t0): STATUS_INVALID_DEVICE_REQUEST\n");
  t1_on_t0_card.protocol = ProtocolChoice::kT0;
  o = RunTool(t1_on_t0_card);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(At(o, "protocol: T=0\n"), std::string::npos) << o.out;
}

TEST(Session, TheSeedDrawsTheCardsRandomAnswers) {
  auto challenge = [](uint64_t seed) {
    SessionOptions options = WithApdus({{0x00, 0x84, 0x00, 0x00, 0x08}});
    options.seed = seed;
    Outcome o = RunTool(options);
    EXPECT_EQ(o.code, 0) << o.err;
    return o.out;
  };
  EXPECT_EQ(challenge(7), challenge(7));
  EXPECT_NE(challenge(7), challenge(8));
}

TEST(Session, ReaderProfileAndFaultsReachTheSimulatedReader) {
  CommandLine c = ParseCommandLine({"--reader-profile", "realistic,addressed", "--faults",
                                    "1:h1:wtx=2,sw=6700", "00A4000C023F00", "80F00004"});
  ASSERT_TRUE(c.ok) << c.error;
  Outcome o = RunTool(c.options);
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.err, "zarq7: APDU 00 A4 00 0C 02 3F 00 failed: STATUS_INVALID_PARAMETER\n");
  EXPECT_NE(o.out.find("< 00 01 02 03\n< 90 00  success\n"), std::string::npos) << o.out;
}

// A scripted fault that never came is named with the likely reason; the session's own outcome,
// and exit status, stay what they were. Those that struck are not named.
TEST(Session, FaultsThatNeverStruckAreNamed) {
  auto run = [](std::vector<std::string> arguments) {
    CommandLine c = ParseCommandLine(arguments);
    EXPECT_TRUE(c.ok) << c.error;
    return RunTool(c.options);
  };
  Outcome o = run({"--faults", "5:h1:abort", "80F00010"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.err, "zarq7: fault '5:h1:abort' never struck: the session sent 1 card command\n");

  // An answer in one block is never acknowledged, so a1 has no place; a timed fault after the
  // session's end never comes; h1 of the first command does strike.
  o = run({"--faults", "1:h1:wtx=2;1:a1:wtx=1;1:h2:sw=6F00;@90s:noise=1s/20", "80F00050"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.err.substr(0, o.err.find("@90s")),
            "zarq7: fault '1:a1:wtx=1' never struck: the answer to card command 1 had no 2nd "
            "block to stand in place of (a longer answer, or the reader setting sizes=32, gives "
            "one)\n"
            "zarq7: fault '1:h2:sw=6F00' never struck: card command 1 went to the reader in fewer "
            "than 2 blocks\n"
            "zarq7: fault '");
  EXPECT_NE(o.err.find("zarq7: fault '@90s:noise=1s/20' never struck: the run ended at 2."),
            std::string::npos)
      << o.err;

  // With answer blocks of 32 bytes the same script strikes whole.
  o = run({"--reader-profile", "ideal,sizes=32", "--faults", "1:h1:wtx=2;1:a1:wtx=1", "80F00050"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.err, "");
}

TEST(Watch, InsertionsAndRemovalsAsTheyHappen) {
  SessionOptions options;
  options.command = Command::kWatch;
  options.events = {{false, host::kernel::Seconds(2)}, {true, host::kernel::Milliseconds(4500)}};
  Outcome o = RunTool(options);
  EXPECT_EQ(o.code, 0) << o.err;
  // Each change is seen at the driver's next card status query, within its 1.2 s period.
  EXPECT_EQ(o.out,
            "device: \\Device\\USBTESK0\n"
            "[   0.006000 s] card present\n"
            "[   2.035000 s] card removed (taken out at 2.006000 s)\n"
            "[   5.738000 s] card inserted (put in at 4.506000 s)\n"
            "[   7.506000 s] watch over\n");

  options.card = CardChoice::kNone;
  // The watch's first request waits for the link's bring-up after the start (2 s).
  options.events = {{true, host::kernel::Seconds(3)}};
  options.watch_for = host::kernel::Seconds(5);
  o = RunTool(options);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_TRUE(std::regex_search(o.out, std::regex(R"(\] no card\n\[ +[34]\.[0-9]+ s\] card )"
                                                  R"(inserted \(put in at 3\.006000 s\)\n)"
                                                  R"(\[   5\.006000 s\] watch over\n$)")))
      << o.out;
}
