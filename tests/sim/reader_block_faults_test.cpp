// The reader's damaged blocks: only the chosen block changes, and where its content changes its
// LRC stays right, so that only the link's own rules can find the damage.
#include "sim/reader_block_faults.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kFirst = {0x20, 0x00, 0x02, 0x90, 0x00, 0xB2};   // I(0) 90 00
const Bytes kSecond = {0x20, 0x40, 0x02, 0x90, 0x00, 0xF2};  // I(1) 90 00

// What the line carries when the hook acts on every character of `sent`.
Bytes Carried(sim::FaultHook hook, const Bytes& sent) {
  Bytes out;
  for (size_t i = 0; i < sent.size(); ++i) {
    sim::FaultAction a = hook(i, sent[i]);
    if (!a.drop) out.push_back(uint8_t(sent[i] ^ a.flip_mask));
    out.insert(out.end(), a.insert_after.begin(), a.insert_after.end());
  }
  return out;
}

uint8_t Xor(const Bytes& block) {
  uint8_t x = 0;
  for (uint8_t b : block) x ^= b;
  return x;
}

Bytes Both() {
  Bytes b = kFirst;
  b.insert(b.end(), kSecond.begin(), kSecond.end());
  return b;
}

}  // namespace

TEST(ReaderBlockFaults, OnlyTheChosenBlockChangesAndItsLrcStaysRight) {
  auto record = std::make_shared<sim::BlockFaultRecord>();
  Bytes out = Carried(sim::DamageReaderBlock({sim::BlockFault::kWrongNad, 2, 7}, record), Both());
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), kFirst);
  Bytes second(out.begin() + 6, out.end());
  EXPECT_NE(second[0], kSecond[0]);
  EXPECT_EQ(Bytes(second.begin() + 1, second.end() - 1),
            Bytes(kSecond.begin() + 1, kSecond.end() - 1));
  EXPECT_EQ(Xor(second), 0);
  EXPECT_TRUE(record->applied);

  out = Carried(sim::DamageReaderBlock({sim::BlockFault::kWrongSequence, 1, 7}), Both());
  EXPECT_EQ(out[1], 0x40) << "N(S) of the first I-block flipped";
  EXPECT_EQ(Xor(Bytes(out.begin(), out.begin() + 6)), 0);
  EXPECT_EQ(Bytes(out.begin() + 6, out.end()), kSecond);

  out = Carried(sim::DamageReaderBlock({sim::BlockFault::kOversized, 1, 7}), Both());
  ASSERT_EQ(out.size(), 3u + 255 + 1 + 6);
  EXPECT_EQ(out[2], 255);
  EXPECT_EQ(Xor(Bytes(out.begin(), out.begin() + 259)), 0);

  out = Carried(sim::DamageReaderBlock({sim::BlockFault::kTruncated, 1, 7}), Both());
  EXPECT_LT(out.size(), 12u);
  EXPECT_EQ(Bytes(out.end() - 6, out.end()), kSecond);
}
