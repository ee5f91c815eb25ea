// Damage the reader's LRC cannot see, on a converter that hands damaged characters on: the line
// status taken from the converter's counters and the link's look at what follows a block keep a
// damaged answer from reaching the application as the card's.
#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"
#include "sim/reader_profile.h"
#include "sim/reader_protocol.h"
#include "tests/support/machine_run.h"

using host::io::IoResult;
using host::machine::ConverterOptions;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr size_t kLen = 2;          // offset of LEN in a block
constexpr uint8_t kCardNad = 0x20;  // the card's answers come to the host with this NAD

// The built-in card answers 80 F0 P1 P2 with P1P2 bytes counting from 0, then 90 00.
Bytes Count(uint16_t n) { return {0x80, 0xF0, uint8_t(n >> 8), uint8_t(n)}; }

void WithCard(uint8_t rate_code, ConverterOptions options,
              const std::function<void(host::machine::Converter&, ReaderHandle&)>& body) {
  EXPECT_TRUE(test_support::RunMachine(1, [&](host::machine::Machine& m) {
    host::machine::Converter& c = m.Plug(options);  // its converter hands damaged characters on
    ReaderHandle r(m);
    ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    Bytes set_rate = {0x80, 0x60, 0x00, 0x00, 0x03, sim::kTagRateCode, 0x01, rate_code};
    ASSERT_TRUE(rate_code == 0 || r.RawReaderCommand(set_rate).output == Bytes({0x90, 0x00}));
    ASSERT_EQ(r.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(r.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    body(c, r);
  }));
}

// Puts characters into the first block of the card's next answer, right after its character at
// offset `after`: its LRC (or two that XOR to it and its last INF byte), so that read one (or
// two) places short the block passes its LRC.
sim::FaultHook ShiftFirstBlock(size_t after, Bytes answer, bool two) {
  struct Parse {
    size_t at = 0, length = 0;
    uint8_t lrc = 0, last = 0;
    bool card = false, done = false;
  };
  auto p = std::make_shared<Parse>();
  return [p, after, answer, two](uint64_t, uint8_t value) {
    sim::FaultAction action;
    size_t at = p->at++;
    if (at == 0) p->card = value == kCardNad, p->lrc = 0;
    if (at <= kLen) p->lrc ^= value;
    if (at == kLen) p->length = value + 4u;
    for (size_t i = 0; at == kLen && i < std::min<size_t>(value, answer.size()); ++i) {
      p->lrc ^= answer[i], p->last = answer[i];
    }
    if (p->card && !p->done && at == after) {
      action.insert_after = two ? Bytes{0x00, uint8_t(p->lrc ^ p->last)} : Bytes{p->lrc};
      p->done = true;
    }
    if (at >= kLen && p->at == p->length) p->at = 0;
    return action;
  };
}

}  // namespace

// Bit 0 flipped in two characters keeps the LRC; each character fails its parity.
TEST(LineStatus, DamageTheLrcMissesIsAskedForAgain) {
  WithCard(0, {}, [](host::machine::Converter& c, ReaderHandle& r) {
    Bytes answer = r.Transmit(Count(16)).output;
    sim::LineFaults& faults = c.line().reader_end().faults();
    faults.FlipBits(faults.next_index() + 3, 0x01);
    faults.FlipBits(faults.next_index() + 4, 0x01);
    EXPECT_EQ(r.Transmit(Count(16)).output, answer);
    EXPECT_EQ(c.converter().counters().receive_errors, 2u);
  });
}

// A character inserted into a block can make it pass its LRC; its real LRC follows it. At
// 115200 bit/s that LRC may still wait in the converter as the block is checked; from a reader
// that pauses between characters (up to 2 ms) it may still be on the line, and come in front of
// the reader's next block. Wherever the character goes in, the answer is asked for again or
// fails: it is never returned shifted, by one character or by two.
TEST(LineStatus, AShiftedBlockIsNeverReturned) {
  ConverterOptions realistic;
  realistic.rig.reader.reader = sim::RealisticProfile().options;
  struct Case {
    uint8_t rate;
    ConverterOptions options;
    std::vector<uint16_t> lengths;
    bool two = false;
  };
  for (const Case& k : {Case{5, {}, {16, 17, 18, 19, 20, 21, 22, 23}}, Case{0, realistic, {300}},
                        Case{0, realistic, {300}, true}}) {
    WithCard(k.rate, k.options, [&](host::machine::Converter& c, ReaderHandle& r) {
      for (uint16_t n : k.lengths) {
        Bytes answer = r.Transmit(Count(n), n + 2).output;
        ASSERT_EQ(answer.size(), n + 2u);
        // Blocks of 32 bytes at most once a resynchronisation has brought the reader's size down.
        for (size_t after = kLen; after < std::min<size_t>(n + 4, 34); ++after) {
          c.line().reader_end().faults().SetHook(ShiftFirstBlock(after, answer, k.two));
          IoResult shifted = r.Transmit(Count(n), n + 2);
          EXPECT_TRUE(shifted.status == STATUS_SUCCESS ? shifted.output == answer
                                                       : shifted.status == STATUS_CRC_ERROR)
              << n << " bytes, inserted after " << after << ": " << std::hex << shifted.status;
        }
      }
    });
  }
}
