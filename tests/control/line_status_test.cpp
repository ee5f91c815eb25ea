// Damage the reader's block check cannot see, on a converter that hands damaged characters on:
// the serial adapter's line status, taken from the converter's counters, makes the link ask for
// the block again, and the application gets the card's answer as the card sent it.
#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"
#include "sim/line_trace.h"
#include "sim/reader_protocol.h"
#include "tests/support/machine_run.h"

using host::io::IoResult;
using host::machine::Converter;
using host::machine::Machine;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;

namespace {

// The built-in card answers 80 F0 P1 P2 with P1P2 bytes counting from 0, then 90 00.
constexpr size_t kPcb = 1;
constexpr size_t kInf = 3;
constexpr uint8_t kSequenceBit = 0x40;
constexpr uint8_t kRBlockEdcError = 0x81;  // R-block, N(R) 0, "EDC error"
constexpr uint8_t kRate115200 = 5;         // the reader's rate code

void OnCardInT1(const std::function<void(Machine&, Converter&, ReaderHandle&)>& body,
                uint8_t rate_code = 0) {
  EXPECT_TRUE(test_support::RunMachine(1, [&](Machine& m) {
    Converter& c = m.Plug({});  // its converter hands damaged characters on
    ReaderHandle reader(m);
    ASSERT_EQ(reader.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    if (rate_code != 0) {
      Bytes set_rate = {0x80, 0x60, 0x00, 0x00, 0x03, sim::kTagRateCode, 0x01, rate_code};
      ASSERT_EQ(reader.RawReaderCommand(set_rate).output, (Bytes{0x90, 0x00}));
    }
    ASSERT_EQ(reader.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(reader.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    body(m, c, reader);
  }));
}

Bytes Pattern(uint8_t length) { return {0x80, 0xF0, 0x00, length}; }

Bytes Expected(uint8_t length = 16) {
  Bytes answer;
  for (uint8_t i = 0; i < length; ++i) answer.push_back(i);
  answer.insert(answer.end(), {0x90, 0x00});
  return answer;
}

// The host's R-blocks that said a reader's block came damaged.
size_t AskedAgain(Converter& c) {
  size_t n = 0;
  for (const auto& b : c.line_trace().Blocks()) {
    n += b.direction == sim::Direction::kHostToReader && b.bytes.size() > kPcb &&
         (b.bytes[kPcb] & 0xEF) == kRBlockEdcError;
  }
  return n;
}

// The reader's last block as it sent it.
Bytes LastReaderBlock(Converter& c) {
  sim::DecodeOptions sent;
  sent.view = sim::LineEvent::Kind::kSent;
  Bytes last;
  for (const auto& b : c.line_trace().Blocks(sent)) {
    if (b.direction == sim::Direction::kReaderToHost) last = b.bytes;
  }
  return last;
}

}  // namespace

// Bit 0 flipped in two characters keeps the LRC; each character fails its parity.
TEST(LineStatus, DamageTheLrcMissesIsAskedForAgain) {
  OnCardInT1([](Machine&, Converter& c, ReaderHandle& r) {
    sim::LineFaults& faults = c.line().reader_end().faults();
    uint64_t block = faults.next_index();
    faults.FlipBits(block + kInf, 0x01);
    faults.FlipBits(block + kInf + 1, 0x01);
    IoResult answer = r.Transmit(Pattern(16));
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.output, Expected());
    EXPECT_EQ(AskedAgain(c), 1u);
    EXPECT_EQ(c.converter().counters().receive_errors, 2u);
  });
}

// A character inserted into the reader's block, equal to the block's LRC, shifts the block so
// that its last INF byte, read as the LRC, matches. At 115200 bit/s the whole block is in the
// converter long before its IN packets have carried it over, so where the shifted block ends a
// packet the real LRC still waits in the converter: wherever the character goes in, the answer
// is asked for again, never returned shifted.
TEST(LineStatus, ACharacterStillInTheConverterAfterTheBlockMakesItDamaged) {
  OnCardInT1(
      [](Machine&, Converter& c, ReaderHandle& r) {
        // Answers of eight lengths put the block's end at each place of an IN packet.
        for (uint8_t n = 16; n < 24; ++n) {
          ASSERT_EQ(r.Transmit(Pattern(n)).output, Expected(n));
          size_t length = LastReaderBlock(c).size();
          for (size_t after = kInf - 1; after + 3 < length; ++after) {
            Bytes next = LastReaderBlock(c);  // the next answer differs in its sequence bit only
            ASSERT_EQ(next.size(), length);
            uint8_t lrc = next.back() ^ kSequenceBit;
            sim::LineFaults& faults = c.line().reader_end().faults();
            faults.InsertAfter(faults.next_index() + after, {lrc});
            size_t asked = AskedAgain(c);
            IoResult answer = r.Transmit(Pattern(n));
            EXPECT_EQ(answer.status, STATUS_SUCCESS)
                << int(n) << " bytes, inserted after " << after;
            EXPECT_EQ(answer.output, Expected(n)) << int(n) << " bytes, inserted after " << after;
            EXPECT_EQ(AskedAgain(c), asked + 1) << int(n) << " bytes, inserted after " << after;
          }
        }
      },
      kRate115200);
}
