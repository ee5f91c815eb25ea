// Damage the reader's block check cannot see, on a converter that hands damaged characters on:
// the serial adapter's line status, taken from the converter's counters, makes the link ask for
// the block again, and the application gets the card's answer as the card sent it.
#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"
#include "sim/line_trace.h"
#include "sim/reader_profile.h"
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
                uint8_t rate_code = 0, host::machine::ConverterOptions options = {}) {
  EXPECT_TRUE(test_support::RunMachine(1, [&](Machine& m) {
    Converter& c = m.Plug(options);  // its converter hands damaged characters on
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

// The reader's blocks as it sent them.
std::vector<Bytes> ReaderBlocks(Converter& c) {
  sim::DecodeOptions sent;
  sent.view = sim::LineEvent::Kind::kSent;
  std::vector<Bytes> blocks;
  for (const auto& b : c.line_trace().Blocks(sent)) {
    if (b.direction == sim::Direction::kReaderToHost) blocks.push_back(b.bytes);
  }
  return blocks;
}

Bytes LastReaderBlock(Converter& c) { return ReaderBlocks(c).back(); }

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

// Puts a copy of the LRC into the first block of the reader's next chained answer (its INF
// counting from 0), right after the block's character at offset `after`: read shifted by one,
// the block passes its LRC.
sim::FaultHook ShiftFirstChainedBlock(size_t after) {
  struct Parse {
    size_t offset = 0, length = 0;
    uint8_t prologue = 0, lrc = 0;
    bool chained = false, done = false;
  };
  auto p = std::make_shared<Parse>();
  return [p, after](uint64_t, uint8_t value) {
    sim::FaultAction action;
    size_t at = p->offset++;
    if (at == 0) p->prologue = 0;
    if (at < kInf) p->prologue ^= value;
    if (at == kPcb) p->chained = (value & 0xA0) == 0x20;
    if (at == kInf - 1) {
      p->length = value + 4u;
      p->lrc = p->prologue;
      for (unsigned i = 0; i < value; ++i) p->lrc ^= uint8_t(i);
    }
    if (p->chained && !p->done && at == after) {
      action.insert_after = {p->lrc};
      p->done = true;
    }
    if (at >= kInf - 1 && p->offset == p->length) p->offset = 0;
    return action;
  };
}

// The same in the first block of a chained answer, from a reader that pauses between characters
// (up to 2 ms): the real LRC may still be on the line when the block is checked and acknowledged.
// It comes in front of the reader's next block; the answer then fails, and is never returned
// shifted.
TEST(LineStatus, ACharacterBehindAnAcknowledgedBlockGivesTheAnswerAway) {
  host::machine::ConverterOptions realistic;
  realistic.rig.reader.reader = sim::RealisticProfile().options;
  OnCardInT1(
      [](Machine&, Converter& c, ReaderHandle& r) {
        const Bytes command = {0x80, 0xF0, 0x01, 0x2C};  // 300 bytes, chained
        IoResult clean = r.Transmit(command, 302);
        ASSERT_EQ(clean.status, STATUS_SUCCESS);
        size_t failed = 0;
        // A resynchronisation brings the reader's block size down to 32: 36-byte blocks.
        for (size_t after = kInf - 1; after < 34; ++after) {
          c.line().reader_end().faults().SetHook(ShiftFirstChainedBlock(after));
          IoResult answer = r.Transmit(command, 302);
          if (answer.status == STATUS_SUCCESS) {
            EXPECT_EQ(answer.output, clean.output) << "inserted after " << after;
          } else {
            EXPECT_EQ(answer.status, STATUS_CRC_ERROR) << "inserted after " << after;
            ++failed;
          }
        }
        EXPECT_GE(failed, 1u) << "no answer was given away: the test no longer shifts a block";
      },
      0, realistic);
}
