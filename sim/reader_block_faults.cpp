#include "sim/reader_block_faults.h"

#include <algorithm>
#include <random>

#include "sim/t1_block.h"

namespace sim {

namespace {

constexpr size_t kOffsetNad = 0;
constexpr size_t kOffsetPcb = 1;
constexpr size_t kOffsetLen = 2;
constexpr uint8_t kLenReserved = 255;
// An R- or S-block made this much longer at most.
constexpr uint64_t kControlBlockExtra = 3;
constexpr uint64_t kGarbageLongest = 40;
// Where a truncated block may stop: after its NAD, after its PCB, or after its LEN or later.
constexpr uint64_t kCutChoices = 3;

FaultAction Replace(uint8_t value) {
  FaultAction a;
  a.drop = true;
  a.insert_after.push_back(value);
  return a;
}

// Follows the reader's blocks character by character and damages the chosen one.
class Damage {
 public:
  Damage(const BlockFaultPlan& plan, std::shared_ptr<BlockFaultRecord> record)
      : plan_(plan), rng_(plan.seed), record_(std::move(record)) {}

  FaultAction Next(uint8_t value) {
    size_t position = position_++;
    FaultAction a;
    if (position == kOffsetNad) a = AtNad(value);
    if (position == kOffsetPcb) a = AtPcb(value);
    if (position == kOffsetLen) a = AtLen(value);
    if (target_ && plan_.fault == BlockFault::kTruncated && position >= cut_) a.drop = true;
    if (target_ && plan_.fault == BlockFault::kGarbage && position != kOffsetNad) a.drop = true;
    if (length_ != 0 && position + 1 == length_) {
      if (target_ && delta_ != 0) a = Replace(uint8_t(value ^ delta_));
      if (target_) Applied();
      position_ = 0;
      length_ = 0;
      target_ = false;
    }
    return a;
  }

 private:
  bool Counts(bool applies) {
    if (done_ || !applies) return false;
    return ++counted_ == plan_.nth;
  }
  void Applied() {
    done_ = true;
    if (record_) record_->applied = true;
  }

  FaultAction AtNad(uint8_t value) {
    delta_ = 0;
    if (plan_.fault == BlockFault::kWrongSequence) return {};
    target_ = Counts(true);
    if (!target_) return {};
    switch (plan_.fault) {
      case BlockFault::kWrongNad: {
        uint8_t mask = uint8_t(1 + rng_() % 255);
        delta_ ^= mask;
        return Replace(uint8_t(value ^ mask));
      }
      case BlockFault::kGarbage: {
        FaultAction a;
        a.drop = true;
        for (uint64_t i = 0, n = 1 + rng_() % kGarbageLongest; i < n; ++i) {
          a.insert_after.push_back(uint8_t(rng_()));
        }
        return a;
      }
      case BlockFault::kTruncated:
        cut_choice_ = rng_();
        cut_ = 1 + cut_choice_ % kCutChoices;
        return {};
      default:
        return {};
    }
  }

  FaultAction AtPcb(uint8_t value) {
    pcb_ = value;
    if (plan_.fault != BlockFault::kWrongSequence) return {};
    bool i_block = (value & t1::kPcbINotI) == 0;
    bool r_block = (value & t1::kPcbTypeMask) == t1::kPcbRBlock;
    target_ = Counts(i_block || r_block);
    if (!target_) return {};
    uint8_t mask = i_block ? t1::kPcbISequence : t1::kPcbRSequence;
    delta_ ^= mask;
    return Replace(uint8_t(value ^ mask));
  }

  FaultAction AtLen(uint8_t value) {
    length_ = t1::kPrologueSize + value + t1::kEpilogueSize;
    if (!target_) return {};
    if (plan_.fault == BlockFault::kTruncated && cut_ > kOffsetLen) {
      cut_ = kOffsetLen + 1 + (cut_choice_ / kCutChoices) % (value + 1u);
    }
    if (plan_.fault != BlockFault::kOversized) return {};
    bool i_block = (pcb_ & t1::kPcbINotI) == 0;
    unsigned longer =
        i_block ? kLenReserved
                : std::min<unsigned>(kLenReserved, value + 1 + rng_() % kControlBlockExtra);
    if (longer <= value) return {};  // already as long as a block can say
    FaultAction a = Replace(uint8_t(longer));
    delta_ ^= uint8_t(value ^ longer);
    for (unsigned i = value; i < longer; ++i) {
      uint8_t extra = uint8_t(rng_());
      delta_ ^= extra;
      a.insert_after.push_back(extra);
    }
    return a;
  }

  BlockFaultPlan plan_;
  std::mt19937_64 rng_;
  std::shared_ptr<BlockFaultRecord> record_;
  size_t position_ = 0;  // of the next character in its block
  size_t length_ = 0;    // of the block, once its LEN has come
  uint8_t pcb_ = 0;
  int counted_ = 0;
  bool target_ = false;  // the block going by is the one
  bool done_ = false;
  uint8_t delta_ = 0;  // what the changes so far did to the block's LRC
  uint64_t cut_choice_ = 0;
  size_t cut_ = 0;
};

}  // namespace

const char* BlockFaultName(BlockFault fault) {
  switch (fault) {
    case BlockFault::kWrongSequence:
      return "wrong sequence number";
    case BlockFault::kWrongNad:
      return "wrong NAD";
    case BlockFault::kTruncated:
      return "truncated block";
    case BlockFault::kOversized:
      return "oversized block";
    case BlockFault::kGarbage:
      return "garbage";
  }
  return "?";
}

FaultHook DamageReaderBlock(const BlockFaultPlan& plan, std::shared_ptr<BlockFaultRecord> record) {
  auto damage = std::make_shared<Damage>(plan, std::move(record));
  return [damage](uint64_t, uint8_t value) { return damage->Next(value); };
}

}  // namespace sim
