// What the tool tells people about an ATR and a status word.
#include <gtest/gtest.h>

#include "tools/atr_explanation.h"
#include "tools/historical_bytes.h"
#include "tools/status_words.h"

using namespace tools;

TEST(ExplainAtr, ValuesNameTheirBytesOrSayTheyAreDefaults) {
  const std::vector<uint8_t> atr = {0x3B, 0x93, 0x11, 0x80, 0x31, 0xFE,
                                    0x45, 0x80, 0x31, 0xC0, 0xF9};
  EXPECT_EQ(ExplainAtr(atr),
            (std::vector<std::string>{
                "direct convention (TS 3B)",
                "protocols offered: T=0, T=1",
                "clock rate conversion F 372, bit rate adjustment D 1 (TA1 11)",
                "extra guard time N 0 (default: no TC1)",
                "T=0 waiting integer WI 10 (default: no TC2)",
                "T=1 IFSC 254 (TA3 FE)",
                "T=1 BWI 4, CWI 5 (TB3 45)",
                "T=1 check LRC (default: no TC for T=1)",
                "historical bytes: 80 31 C0",
                "  category 80: compact-TLV data objects",
                "  card service data C0: selection by full DF name, by partial DF name; "
                "EF.DIR and EF.ATR read by READ RECORD; card with an MF",
                "check byte TCK F9 correct",
            }));
}

TEST(ExplainAtr, AT0OnlyCardWithAllDefaultsAndABrokenOne) {
  std::vector<std::string> lines = ExplainAtr(std::vector<uint8_t>{0x3B, 0x00});
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "direct convention (TS 3B)", "protocols offered: T=0",
                       "clock rate conversion F 372, bit rate adjustment D 1 (default: no TA1)",
                       "extra guard time N 0 (default: no TC1)",
                       "T=0 waiting integer WI 10 (default: no TC2)", "historical bytes: none",
                       "no check byte (T=0 only)"}));
  // A wrong check byte is not an ATR.
  EXPECT_EQ(ExplainAtr(std::vector<uint8_t>{0x3B, 0x93, 0x11, 0x80, 0x31, 0xFE, 0x45, 0x80, 0x31,
                                            0xC0, 0xF8}),
            std::vector<std::string>{"not a well-formed ISO 7816-3 answer to reset"});
}

TEST(ExplainHistoricalBytes, CompactTlvObjectsAndTheirMeaning) {
  // Category 00: objects, then life cycle and status word at the end.
  EXPECT_EQ(
      ExplainHistoricalBytes(std::vector<uint8_t>{0x00, 0x73, 0xC8, 0x40, 0x13, 0x05, 0x90, 0x00}),
      (std::vector<std::string>{
          "category 00: compact-TLV data objects, then the status indicator",
          "card capabilities C8 40 13: selection by full DF name, by partial DF name, "
          "implicit DF selection; 4 channels",
          "status indicator 05 90 00: operational, activated, status word 90 00"}));
  EXPECT_EQ(ExplainHistoricalBytes(std::vector<uint8_t>{0x80, 0x22, 0x34, 0x56, 0x82, 0x90}),
            (std::vector<std::string>{"category 80: compact-TLV data objects",
                                      "issuer identification number: 34 56",
                                      "compact-TLV cut short: 82 90"}));
  EXPECT_EQ(ExplainHistoricalBytes(std::vector<uint8_t>{0x4A, 0x43}),
            std::vector<std::string>{"category 4A: not ISO 7816-4 (proprietary or reserved)"});
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
