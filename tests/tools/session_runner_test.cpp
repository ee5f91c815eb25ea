// Whole sessions as the tool runs them, against the simulated reader, in virtual time.
#include "tools/session_runner.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tools;

namespace {

struct Outcome {
  int code;
  std::string out, err;
};

Outcome RunTool(SessionOptions options) {
  std::ostringstream out, err;
  int code = RunSession(options, out, err);
  return {code, out.str(), err.str()};
}

SessionOptions WithApdus(std::vector<std::vector<uint8_t>> apdus) {
  SessionOptions o;
  o.apdus = std::move(apdus);
  return o;
}

}  // namespace

TEST(Session, BuiltInCardAtrProtocolAndAnswers) {
  Outcome o = RunTool(WithApdus({{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},
                                 {0x80, 0xF0, 0x00, 0x04},
                                 {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34}}));
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out,
            "reader: ZARIK Systems Z7 Ira DUR, version 0.92 build 61, link up at 9600 bit/s\n"
            "card: card present, not powered\n"
            "ATR: 3B 93 11 80 31 FE 45 80 31 C0 F9\n"
            "  direct convention\n"
            "  protocols offered: T=0, T=1\n"
            "  clock rate conversion F 372, bit rate adjustment D 1, extra guard time N 0\n"
            "  T=0 waiting integer WI 10\n"
            "  T=1 IFSC 254, BWI 4, CWI 5, LRC\n"
            "  historical bytes: 80 31 C0\n"
            "  check byte TCK correct\n"
            "protocol: T=1\n"
            "> 00 A4 00 0C 02 3F 00\n"
            "< 90 00  success\n"
            "> 80 F0 00 04\n"
            "< 00 01 02 03\n"
            "< 90 00  success\n"
            "> 00 A4 00 0C 02 12 34\n"
            "< 6A 82  error: file or application not found\n");
}

TEST(Session, TraceShowsTheBlocksWithTheirTimes) {
  SessionOptions options = WithApdus({{0x80, 0xF0, 0x00, 0x04}});
  options.trace = true;
  Outcome o = RunTool(options);
  EXPECT_EQ(o.code, 0) << o.err;
  // The bring-up's resynchronisation and IFS exchange, then the command and its answer.
  EXPECT_NE(o.out.find("] host->reader 00 C0 00 C0"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("] host->reader 00 C1 01 FE 3E"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("INF=80 F0 00 04"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("reader->host"), std::string::npos) << o.out;
  // The DTR cycle alone takes 1.8 s before the first block.
  EXPECT_NE(o.out.find("[   1."), std::string::npos) << o.out;
}

TEST(Session, T0AndAFasterLine) {
  SessionOptions options = WithApdus({{0x80, 0xF0, 0x00, 0x02}});
  options.card = CardChoice::kT0Only;
  options.protocol = ProtocolChoice::kT0;
  options.rate = 115200;
  Outcome o = RunTool(options);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("link up at 115200 bit/s"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("protocols offered: T=0\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("protocol: T=0\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("< 00 01\n< 90 00  success\n"), std::string::npos) << o.out;
}

TEST(Session, FailuresSayWhatFailedAndExitNonZero) {
  SessionOptions none;
  none.card = CardChoice::kNone;
  Outcome o = RunTool(none);
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.out.find("card: no card\n"), std::string::npos) << o.out;
  EXPECT_EQ(o.err, "zarq7: card reset failed: STATUS_NO_MEDIA\n");

  // A reader that stops answering once the link is up: the reset fails, and says how.
  SessionOptions silent;
  silent.silent_reader = true;
  o = RunTool(silent);
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.out.find("ATR:"), std::string::npos) << o.out;
  EXPECT_EQ(o.err, "zarq7: card reset failed: STATUS_IO_TIMEOUT\n");

  SessionOptions t1_on_t0_card;
  t1_on_t0_card.card = CardChoice::kT0Only;
  o = RunTool(t1_on_t0_card);
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.err, "zarq7: protocol selection failed: STATUS_INVALID_DEVICE_REQUEST\n");
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
