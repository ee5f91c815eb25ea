// What the tool tells people about an ATR and a status word.
#include <gtest/gtest.h>

#include "tools/atr_explanation.h"
#include "tools/status_words.h"

using namespace tools;

TEST(ExplainAtr, TheBuiltInCardOffersBothProtocols) {
  const std::vector<uint8_t> atr = {0x3B, 0x93, 0x11, 0x80, 0x31, 0xFE,
                                    0x45, 0x80, 0x31, 0xC0, 0xF9};
  std::vector<std::string> lines = ExplainAtr(atr);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "direct convention");
  EXPECT_EQ(lines[1], "protocols offered: T=0, T=1");
  EXPECT_EQ(lines[2], "clock rate conversion F 372, bit rate adjustment D 1, extra guard time N 0");
  EXPECT_EQ(lines[3], "T=0 waiting integer WI 10");
  EXPECT_EQ(lines[4], "T=1 IFSC 254, BWI 4, CWI 5, LRC");
  EXPECT_EQ(lines[5], "historical bytes: 80 31 C0");
  EXPECT_EQ(lines[6], "check byte TCK correct");
}

TEST(ExplainAtr, AT0OnlyCardAndABrokenOne) {
  std::vector<std::string> lines =
      ExplainAtr(std::vector<uint8_t>{0x3B, 0x93, 0x11, 0x00, 0x80, 0x31, 0xC0});
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "protocols offered: T=0");
  EXPECT_EQ(lines.back(), "no check byte (T=0 only)");
  // A wrong check byte is not an ATR.
  EXPECT_EQ(ExplainAtr(std::vector<uint8_t>{0x3B, 0x93, 0x11, 0x80, 0x31, 0xFE, 0x45, 0x80, 0x31,
                                            0xC0, 0xF8}),
            std::vector<std::string>{"not a well-formed ISO 7816-3 answer to reset"});
}

TEST(ExplainStatusWord, ExactMeaningsBeforeTheirFamilies) {
  EXPECT_EQ(ExplainStatusWord(0x90, 0x00), "success");
  EXPECT_EQ(ExplainStatusWord(0x61, 0x10), "success: 16 bytes of answer wait for GET RESPONSE");
  EXPECT_EQ(ExplainStatusWord(0x61, 0x00), "success: 256 bytes of answer wait for GET RESPONSE");
  EXPECT_EQ(ExplainStatusWord(0x6C, 0x04), "error: wrong Le, 4 bytes are available");
  EXPECT_EQ(ExplainStatusWord(0x6A, 0x82), "error: file or application not found");
  EXPECT_EQ(ExplainStatusWord(0x6A, 0x99), "error: wrong parameters P1-P2");
  EXPECT_EQ(ExplainStatusWord(0x63, 0xC2), "warning: verification failed, 2 tries left");
  EXPECT_EQ(ExplainStatusWord(0x64, 0xA1),
            "error: execution error, state of non-volatile memory unchanged");
  EXPECT_EQ(ExplainStatusWord(0x12, 0x34), "not an ISO 7816-4 status word");
}
