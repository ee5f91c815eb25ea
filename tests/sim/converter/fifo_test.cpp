// The converter's FIFOs: bytes from the OUT pipe go out at the line's rate, bytes from the line
// come back through IN polls, and what does not fit is refused or dropped and counted.
#include <gtest/gtest.h>

#include "converter_bench.h"

using namespace converter_test;

namespace {

const std::vector<uint8_t> kBlock = {0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4};

void SetLink(Bench& b) {
  ASSERT_TRUE(b.Acked(b.VendorOut(kRequestLineSettings, kRate9600)));
  ASSERT_TRUE(b.Acked(b.VendorOut(kRequestLineSettings, kParityEven | kStopBitsOne)));
}

uint16_t Word(const std::vector<uint8_t>& reply, int at) {
  return uint16_t(reply[at] | reply[at + 1] << 8);
}

}  // namespace

TEST(ConverterTransmit, BytesGoOutBackToBackAtTheLineRate) {
  Kernel k;
  Bench b(k);
  auto r = k.Run([&] {
    ASSERT_EQ(b.Configure(), Handshake::kAck);
    SetLink(b);
    Ticks start = k.Now();
    EXPECT_EQ(b.Out({kBlock.begin(), kBlock.begin() + 8}), Handshake::kAck);
    EXPECT_EQ(b.Out({kBlock.begin() + 8, kBlock.end()}), Handshake::kAck);
    b.Sleep(Milliseconds(20));
    EXPECT_EQ(b.line.SentBytes(), kBlock);
    EXPECT_FALSE(b.line.overlapped);
    // 9600 bit/s 8E1: 11 bits a character.
    const Ticks character = CharacterTime({9600, 8, Parity::kEven, 1});
    EXPECT_EQ(character, 11459);  // 1.1458 ms, rounded up
    for (size_t i = 0; i < b.line.sent.size(); ++i) {
      EXPECT_EQ(b.line.sent[i].start, start + Ticks(i) * character) << i;
    }
    EXPECT_EQ(b.converter->counters().bytes_transmitted, kBlock.size());
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterTransmit, FullFifoNaksAndClearsTheReadyBitUntilThereIsRoom) {
  Kernel k;
  sim::ConverterOptions options;
  options.transmit_fifo_size = 16;
  Bench b(k, options);
  auto ready = [&] {
    auto port4 = b.VendorIn(kRequestPort, kPortFlow);
    return (port4->data[kFlowReadyByte] & kFlowReadyForData) != 0;
  };
  auto r = k.Run([&] {
    ASSERT_EQ(b.Configure(), Handshake::kAck);
    SetLink(b);
    std::vector<uint8_t> packet(8, 0x55);
    EXPECT_EQ(b.Out(packet), Handshake::kAck);  // one on the wire, 7 waiting
    EXPECT_EQ(b.Out(packet), Handshake::kAck);  // 15 waiting
    EXPECT_FALSE(ready());
    EXPECT_EQ(b.Out(packet), Handshake::kNak);
    EXPECT_EQ(b.converter->counters().out_naks, 1u);
    // Once 7 more characters have left, a whole packet fits again.
    b.Sleep(CharacterTime(b.line.settings) * 8);
    EXPECT_TRUE(ready());
    EXPECT_EQ(b.Out(packet), Handshake::kAck);

    // Purging the transmit FIFO stops the output after the character on the wire.
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestPurge, kPurgeTransmit)));
    EXPECT_EQ(b.converter->transmit_level(), 0u);
    size_t sent = b.line.sent.size();
    b.Sleep(Milliseconds(100));
    EXPECT_EQ(b.line.sent.size(), sent);
    ASSERT_FALSE(b.line.purges.empty());
    EXPECT_TRUE(b.line.purges.back().transmit);
    EXPECT_FALSE(b.line.purges.back().receive);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterReceive, AtMostOnePacketPerPoll) {
  Kernel k;
  Bench b(k);
  auto r = k.Run([&] {
    ASSERT_EQ(b.Configure(1), Handshake::kAck);
    SetLink(b);
    std::vector<uint8_t> answer = {0x21, 0x00, 0x06, 0x01, 0x02, 0x03,
                                   0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    b.line.Deliver(answer, k.Now());
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);  // nothing arrived yet
    b.Sleep(CharacterTime(b.line.settings) * Ticks(answer.size()));
    InPacket first = b.Poll();
    ASSERT_EQ(first.handshake, Handshake::kAck);
    EXPECT_EQ(first.data, (std::vector<uint8_t>{answer.begin(), answer.begin() + 8}));
    InPacket second = b.Poll();
    ASSERT_EQ(second.handshake, Handshake::kAck);
    EXPECT_EQ(second.data, (std::vector<uint8_t>{answer.begin() + 8, answer.end()}));
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterReceive, OverflowIsDroppedAndCountedAndPurgeEmpties) {
  Kernel k;
  sim::ConverterOptions options;
  options.receive_fifo_size = 16;
  Bench b(k, options);
  auto r = k.Run([&] {
    ASSERT_EQ(b.Configure(), Handshake::kAck);
    b.line.Deliver(std::vector<uint8_t>(20, 0x3B), k.Now());
    b.line.Deliver({0x01}, k.Now() + Seconds(1), /*error=*/true);
    b.Sleep(Seconds(2));
    auto counters = b.VendorIn(kRequestCounters, 0);
    ASSERT_TRUE(b.Acked(counters));
    EXPECT_EQ(Word(counters->data, kCounterReceiveLevel), 16);
    EXPECT_EQ(Word(counters->data, kCounterReceiveDropped), 5);
    EXPECT_EQ(Word(counters->data, kCounterReceiveErrors), 1);
    EXPECT_EQ(b.converter->counters().receive_dropped, 5u);

    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestPurge, kPurgeReceive)));
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);
    EXPECT_EQ(Word(b.VendorIn(kRequestCounters, 0)->data, kCounterReceiveLevel), 0);
    EXPECT_TRUE(b.Stalled(b.VendorOut(kRequestPurge, 0x0004)));
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
