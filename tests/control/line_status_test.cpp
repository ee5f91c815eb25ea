// Damage the reader's LRC cannot see, on a converter that hands damaged characters on, never
// reaches the application as the card's answer.
#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"
#include "sim/reader_profile.h"
#include "sim/reader_protocol.h"
#include "tests/support/machine_run.h"

using host::machine::Converter;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr size_t kLen = 2;          // offset of LEN in a block
constexpr uint8_t kCardNad = 0x20;  // the card's answers come to the host with this NAD

// The built-in card answers 80 F0 P1 P2 with P1P2 bytes counting from 0, then 90 00.
Bytes Count(uint16_t n) { return {0x80, 0xF0, uint8_t(n >> 8), uint8_t(n)}; }

void WithCard(uint8_t rate_code, bool realistic,
              const std::function<void(Converter&, ReaderHandle&)>& body) {
  EXPECT_TRUE(test_support::RunMachine(1, [&](host::machine::Machine& m) {
    host::machine::ConverterOptions options;
    if (realistic) options.rig.reader.reader = sim::RealisticProfile().options;
    Converter& c = m.Plug(options);
    ReaderHandle r(m);
    ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    Bytes set_rate = {0x80, 0x60, 0x00, 0x00, 0x03, sim::kTagRateCode, 0x01, rate_code};
    ASSERT_TRUE(rate_code == 0 || r.RawReaderCommand(set_rate).output == Bytes({0x90, 0x00}));
    ASSERT_EQ(r.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(r.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    body(c, r);
  }));
}

// Puts into the first block of the card's next answer, after its character at offset `after`,
// its LRC (or two characters that XOR to it and its last INF byte): the block read one (or two)
// places short passes its LRC.
sim::FaultHook ShiftFirstBlock(size_t after, Bytes answer, bool two) {
  struct Parse {
    size_t at = 0, length = 0;
    uint8_t lrc = 0, last = 0;
    bool card = false, done = false;
  };
  return [p = std::make_shared<Parse>(), after, answer, two](uint64_t, uint8_t value) {
    sim::FaultAction action;
    size_t at = p->at++;
    if (at == 0) p->card = value == kCardNad, p->lrc = 0;
    if (at <= kLen) p->lrc ^= value;
    if (at == kLen) p->length = value + 4u;
    for (size_t i = 0; at == kLen && i < std::min<size_t>(value, answer.size()); ++i) {
      p->lrc ^= p->last = answer[i];
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
  WithCard(0, false, [](Converter& c, ReaderHandle& r) {
    Bytes answer = r.Transmit(Count(16)).output;
    sim::LineFaults& faults = c.line().reader_end().faults();
    faults.FlipBits(faults.next_index() + 3, 0x01);
    faults.FlipBits(faults.next_index() + 4, 0x01);
    EXPECT_EQ(r.Transmit(Count(16)).output, answer);
    EXPECT_EQ(c.converter().counters().receive_errors, 2u);
  });
}

// A block shifted by inserted characters passes its LRC; its real end follows it. At 115200
// bit/s that may still wait in the converter as the block is checked; from a reader that pauses
// between characters it may still be on the line, and come in front of the reader's next block.
// Wherever the characters go in, the answer is asked for again or fails, never returned shifted.
TEST(LineStatus, AShiftedBlockIsNeverReturned) {
  auto never_shifted = [](uint8_t rate, bool realistic, std::vector<uint16_t> lengths, bool two) {
    WithCard(rate, realistic, [&](Converter& c, ReaderHandle& r) {
      for (uint16_t n : lengths) {
        Bytes answer = r.Transmit(Count(n), n + 2).output;
        // Blocks of 32 bytes at most once a resynchronisation has brought the reader's size down.
        for (size_t after = kLen; after < std::min<size_t>(n + 4, 34); ++after) {
          c.line().reader_end().faults().SetHook(ShiftFirstBlock(after, answer, two));
          auto shifted = r.Transmit(Count(n), n + 2);
          EXPECT_TRUE(shifted.status == STATUS_SUCCESS ? shifted.output == answer
                                                       : shifted.status == STATUS_CRC_ERROR)
              << n << " bytes, inserted after " << after << ": " << std::hex << shifted.status;
        }
      }
    });
  };
  never_shifted(5, false, {16, 17, 18, 19, 20, 21, 22, 23}, false);
  never_shifted(0, true, {300}, false);
  never_shifted(0, true, {300}, true);
}
