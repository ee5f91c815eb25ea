#include <gtest/gtest.h>

#include "sim/cards/apdu.h"
#include "sim/cards/builtin_card.h"
#include "sim/cards/scripted_card.h"
#include "sim/line_trace.h"
#include "sim/t1_block.h"

namespace sim {
namespace {

std::vector<uint8_t> Send(Card& card, std::vector<uint8_t> apdu) { return card.Transmit(apdu); }

TEST(Atr, ProtocolsOffered) {
  EXPECT_EQ(AtrProtocols(BuiltinCard::DualProtocolAtr()), kProtocolT0 | kProtocolT1);
  EXPECT_EQ(AtrProtocols(BuiltinCard::T0OnlyAtr()), kProtocolT0);
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0x00}), kProtocolT0);
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0x80, 0x01}), kProtocolT1);
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x3B, 0x80}), 0u);  // TD1 missing
  EXPECT_EQ(AtrProtocols(std::vector<uint8_t>{0x42, 0x00}), 0u);
  auto atr = BuiltinCard::DualProtocolAtr();
  EXPECT_EQ(t1::Lrc(std::span(atr).subspan(1)), 0);  // TCK
}

TEST(Apdu, Cases) {
  EXPECT_FALSE(ParseApdu(std::vector<uint8_t>{0x00, 0xA4, 0x00}));
  auto c2 = ParseApdu(std::vector<uint8_t>{0x00, 0xB0, 0x00, 0x00, 0x00});
  ASSERT_TRUE(c2);
  EXPECT_EQ(c2->le, 256u);
  auto c4 = ParseApdu(std::vector<uint8_t>{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x10});
  ASSERT_TRUE(c4);
  EXPECT_EQ(c4->data.size(), 2u);
  EXPECT_EQ(c4->le, 16u);
  EXPECT_FALSE(ParseApdu(std::vector<uint8_t>{0x00, 0xA4, 0x00, 0x00, 0x03, 0x3F, 0x00}));
}

TEST(BuiltinCard, FileSystemAndCommands) {
  BuiltinCard card;
  EXPECT_EQ(card.PowerOn(), BuiltinCard::DualProtocolAtr());
  EXPECT_EQ(card.SupportedProtocols(), kProtocolT0 | kProtocolT1);
  EXPECT_EQ(Send(card, {0x00, 0xB0, 0x00, 0x00, 0x04}), (std::vector<uint8_t>{0x69, 0x86}));
  EXPECT_EQ(Send(card, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01}),
            (std::vector<uint8_t>{0x90, 0x00}));
  EXPECT_EQ(Send(card, {0x00, 0xB0, 0x00, 0x0A, 0x04}),
            (std::vector<uint8_t>{'c', 'a', 'r', 'd', 0x90, 0x00}));
  EXPECT_EQ(Send(card, {0x00, 0xB0, 0x01, 0x00, 0x04}), (std::vector<uint8_t>{0x6B, 0x00}));
  // SELECT with FCI: 61 xx, GET RESPONSE too long gives 6C xx, then the right length.
  auto sw = Send(card, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00});
  ASSERT_EQ(sw[0], 0x61);
  EXPECT_EQ(Send(card, {0x00, 0xC0, 0x00, 0x00, 0x40}), (std::vector<uint8_t>{0x6C, sw[1]}));
  auto fci = Send(card, {0x00, 0xC0, 0x00, 0x00, sw[1]});
  EXPECT_EQ(fci.size(), size_t(sw[1]) + 2);
  EXPECT_EQ(Send(card, {0x00, 0xC0, 0x00, 0x00, 0x01}), (std::vector<uint8_t>{0x6F, 0x00}));
  // READ PATTERN: N bytes of i mod 256.
  auto pattern = Send(card, {0x80, 0xF0, 0x02, 0x00});
  ASSERT_EQ(pattern.size(), 514u);
  EXPECT_EQ(pattern[255], 0xFF);
  EXPECT_EQ(pattern[256], 0x00);
  EXPECT_EQ(Send(card, {0x80, 0xF0, 0x10, 0x01}), (std::vector<uint8_t>{0x67, 0x00}));
  // WRITE PATTERN: the data must be the pattern; with or without Le, with no data at all.
  EXPECT_EQ(Send(card, {0x80, 0xF2, 0x00, 0x00, 0x03, 0x00, 0x01, 0x02}),
            (std::vector<uint8_t>{0x90, 0x00}));
  EXPECT_EQ(Send(card, {0x80, 0xF2, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00}),
            (std::vector<uint8_t>{0x90, 0x00}));
  EXPECT_EQ(Send(card, {0x80, 0xF2, 0x00, 0x00, 0x00}), (std::vector<uint8_t>{0x90, 0x00}));
  EXPECT_EQ(Send(card, {0x80, 0xF2, 0x00, 0x00, 0x03, 0x00, 0x01, 0x03}),
            (std::vector<uint8_t>{0x6A, 0x80}));
  EXPECT_EQ(Send(card, {0x00, 0x20, 0x00, 0x00}), (std::vector<uint8_t>{0x6D, 0x00}));
  EXPECT_EQ(Send(card, {0xA0, 0xA4, 0x00, 0x00}), (std::vector<uint8_t>{0x6E, 0x00}));
  // GET CHALLENGE follows the seed.
  BuiltinCard a({.seed = 3}), b({.seed = 3});
  EXPECT_EQ(Send(a, {0x00, 0x84, 0x00, 0x00, 0x08}), Send(b, {0x00, 0x84, 0x00, 0x00, 0x08}));
}

TEST(ScriptedCard, AnswersInOrderAndNotesMismatches) {
  ScriptedCard card({0x3B, 0x00});
  card.Expect({0x00, 0x01}, {0x90, 0x00}, 5);
  card.Expect({0x00, 0x02}, {0x61, 0x02});
  EXPECT_EQ(card.ProcessingTime(std::vector<uint8_t>{0x00, 0x01}), 5);
  EXPECT_EQ(Send(card, {0x00, 0x01}), (std::vector<uint8_t>{0x90, 0x00}));
  EXPECT_EQ(Send(card, {0x00, 0x03}), (std::vector<uint8_t>{0x6F, 0x00}));
  EXPECT_EQ(card.remaining(), 1u);
  EXPECT_EQ(card.mismatches(), std::vector<std::string>{"00 03"});
}

TEST(LineTraceDecoder, BlocksLrcAndCutShort) {
  std::vector<LineEvent> events;
  auto add = [&](Direction d, host::kernel::Ticks t, std::vector<uint8_t> bytes) {
    for (uint8_t b : bytes) {
      LineEvent e;
      e.kind = LineEvent::Kind::kReceived;
      e.direction = d;
      e.time = t;
      e.value = b;
      events.push_back(e);
      t += 11459;
    }
  };
  add(Direction::kHostToReader, 0, {0x00, 0xC0, 0x00, 0xC0});
  add(Direction::kReaderToHost, 100000, {0x00, 0xE1, 0x01, 0xFE, 0x1F});  // bad LRC
  add(Direction::kHostToReader, 200000, {0x12, 0x00});                    // cut short
  add(Direction::kHostToReader, 200000 + host::kernel::Milliseconds(200), {0x00, 0x91, 0x00, 0x91});
  auto blocks = DecodeBlocks(events);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(DescribeBlock(blocks[0]), "host->reader 00 C0 00 C0  S(RESYNCH request) NAD 00 LRC ok");
  EXPECT_EQ(DescribeBlock(blocks[1]),
            "reader->host 00 E1 01 FE 1F  S(IFS response) NAD 00 INF=FE LRC bad");
  EXPECT_EQ(DescribeBlock(blocks[2]), "host->reader 12 00  cut short");
  EXPECT_EQ(DescribeBlock(blocks[3]), "host->reader 00 91 00 91  R(1,EDC error) NAD 00 LRC ok");
  EXPECT_EQ(t1::DescribePcb(0x60), "I(1,more)");
  EXPECT_EQ(t1::DescribePcb(0xE3), "S(WTX response)");
}

}  // namespace
}  // namespace sim
