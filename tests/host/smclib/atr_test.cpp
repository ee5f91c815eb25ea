// Answer-to-reset parsing and the card capabilities the library derives from it.
#include "host/smclib/atr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "host/kernel/kernel.h"
#include "platform/smclib.h"

using host::smclib::ParseAtr;

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string w;
  while (in >> w) out.push_back(uint8_t(std::stoul(w, nullptr, 16)));
  return out;
}

// Appends the TCK that makes T0 .. TCK XOR to zero.
std::vector<uint8_t> WithTck(const std::string& text) {
  auto b = Hex(text);
  uint8_t x = 0;
  for (size_t i = 1; i < b.size(); ++i) x ^= b[i];
  b.push_back(x);
  return b;
}

}  // namespace

TEST(ParseAtr, T0OnlyWithoutTck) {
  auto atr = ParseAtr(Hex("3B 02 14 50"));
  ASSERT_TRUE(atr);
  EXPECT_TRUE(atr->offers_t0);
  EXPECT_FALSE(atr->offers_t1);
  EXPECT_FALSE(atr->has_tck);
  EXPECT_EQ(atr->historical, Hex("14 50"));
  EXPECT_EQ(atr->fi, 1);
  EXPECT_EQ(atr->di, 1);
  EXPECT_FALSE(ParseAtr(Hex("3B 02 14 50 00"))) << "a byte after the end";
  EXPECT_FALSE(ParseAtr(Hex("3B 02 14"))) << "historical bytes missing";
}

TEST(ParseAtr, InterfaceBytesGiveTheParameters) {
  // TA1 96, TC1 02, TD1 -> T=0 with TC2 20, TD2 -> T=1 with TA3 FE, TB3 45, TC3 01; 2 historical.
  auto atr = ParseAtr(WithTck("3B D2 96 02 C0 20 71 FE 45 01 AA BB"));
  ASSERT_TRUE(atr);
  EXPECT_EQ(atr->fi, 9);
  EXPECT_EQ(atr->di, 6);
  EXPECT_EQ(atr->n, 2);
  EXPECT_EQ(atr->wi, 0x20);
  EXPECT_TRUE(atr->offers_t0);
  EXPECT_TRUE(atr->offers_t1);
  EXPECT_EQ(atr->ifsc, 0xFE);
  EXPECT_EQ(atr->cwi, 5);
  EXPECT_EQ(atr->bwi, 4);
  EXPECT_EQ(atr->edc, 1);
  EXPECT_TRUE(atr->has_tck);
  EXPECT_EQ(atr->historical, Hex("AA BB"));
}

TEST(ParseAtr, RejectsWhatDoesNotParse) {
  EXPECT_FALSE(ParseAtr({}));
  EXPECT_FALSE(ParseAtr(Hex("3B")));
  EXPECT_FALSE(ParseAtr(Hex("3A 00"))) << "TS";
  EXPECT_FALSE(ParseAtr(Hex("3B 80 01"))) << "TCK missing";
  auto bad_tck = WithTck("3B 80 01");
  bad_tck.back() ^= 1;
  EXPECT_FALSE(ParseAtr(bad_tck)) << "TCK wrong";
  EXPECT_FALSE(ParseAtr(Hex("3B 90"))) << "TA1 announced, not there";
  EXPECT_FALSE(ParseAtr(WithTck("3B 90 71 00"))) << "TA1 with a reserved F";
  EXPECT_FALSE(ParseAtr(WithTck("3B 80 81 11 00"))) << "IFSC 0";
  EXPECT_FALSE(ParseAtr(WithTck("3B 80 81 21 A5"))) << "BWI 10";
  std::vector<uint8_t> long_atr = Hex("3B 0F");
  long_atr.resize(34, 0);
  EXPECT_FALSE(ParseAtr(long_atr));
}

TEST(ParseAtr, InverseConventionBytesDecode) {
  EXPECT_EQ(host::smclib::DecodeInverseConvention(0x03), 0x3F);
  EXPECT_EQ(host::smclib::DecodeInverseConvention(0xFF), 0x00);
  auto atr = ParseAtr(Hex("3F 00"));
  ASSERT_TRUE(atr);
  EXPECT_TRUE(atr->inverse_convention);
}

class UpdateCardCapabilities : public ::testing::Test {
 protected:
  NTSTATUS Update(const std::vector<uint8_t>& atr) {
    host::kernel::Kernel k;
    NTSTATUS status = STATUS_PENDING;
    auto r = k.Run([&] {
      if (!atr.empty()) std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
      ext.CardCapabilities.ATR.Length = UCHAR(atr.size());
      ext.ReaderCapabilities.CLKFrequency.Default = 5000;
      status = SmartcardUpdateCardCapabilities(&ext);
    });
    EXPECT_TRUE(r.ok()) << r.report;
    return status;
  }
  SMARTCARD_EXTENSION ext{};
};

TEST_F(UpdateCardCapabilities, FillsProtocolsAndTimes) {
  EXPECT_EQ(Update(WithTck("3B 80 80 01")), STATUS_SUCCESS);
  EXPECT_EQ(ext.CardCapabilities.Protocol.Supported, ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
  EXPECT_EQ(ext.CardCapabilities.etu, 74u);  // 372 / 5 MHz
  EXPECT_EQ(ext.CardCapabilities.T1.IFSC, 32);
  EXPECT_EQ(ext.CardCapabilities.GT, 0u);
  EXPECT_EQ(ext.ReaderCapabilities.CurrentState, 0u) << "the card state is the driver's";
}

TEST_F(UpdateCardCapabilities, SpecificModeOffersTheOneProtocol) {
  // TD1 -> TA2 = 01 (specific T=1), TD2 -> T=1.
  EXPECT_EQ(Update(WithTck("3B 80 91 01 01")), STATUS_SUCCESS);
  EXPECT_EQ(ext.CardCapabilities.Protocol.Supported, ULONG(SCARD_PROTOCOL_T1));
}

TEST_F(UpdateCardCapabilities, UndecodedInverseConventionIsDecodedInPlace) {
  EXPECT_EQ(Update(Hex("03 FF")), STATUS_SUCCESS);
  EXPECT_EQ(ext.CardCapabilities.ATR.Buffer[0], 0x3F);
  EXPECT_TRUE(ext.CardCapabilities.InversConvention);
}

TEST_F(UpdateCardCapabilities, BadAtrIsUnrecognizedMedia) {
  EXPECT_EQ(Update(Hex("3B 80 01")), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(ext.CardCapabilities.Protocol.Supported, 0u);
  EXPECT_EQ(Update({}), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(Update(WithTck("3B 80 0E")), STATUS_UNRECOGNIZED_MEDIA) << "T=14 only";
}
