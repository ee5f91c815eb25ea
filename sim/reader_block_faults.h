// A reader that misbehaves on the link: one of the blocks it sends comes out wrong, as a faulty
// firmware or a reader out of step would send it, rather than as line noise would damage it. The
// damage is made so that only the link's own rules can find it: a changed byte keeps the block's
// LRC right and its parity bits too (the character is sent anew in place of the old one).
//
//   kWrongSequence  an I-block with the other N(S), or an R-block with the other N(R)
//   kWrongNad       any block with another NAD
//   kTruncated      the block stops after one of its characters: the rest never comes
//   kOversized      more INF than allowed: an I-block with LEN 255 (the reserved size, above any
//                   IFSD), an R- or S-block longer than its kind may be; INF and LRC complete
//   kGarbage        random characters in place of the whole block
//
// The hook goes on the reader end's faults (SerialLine::End::faults().SetHook) while the reader is
// between blocks; it counts the blocks from there by their LEN.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/line_faults.h"

namespace sim {

enum class BlockFault : uint8_t { kWrongSequence, kWrongNad, kTruncated, kOversized, kGarbage };
const char* BlockFaultName(BlockFault fault);

struct BlockFaultPlan {
  BlockFault fault = BlockFault::kWrongSequence;
  // The block it befalls, counted from 1 among those the fault applies to: I- and R-blocks for a
  // wrong sequence number, every block for the others.
  int nth = 1;
  uint64_t seed = 1;  // the wrong NAD, the cut, the garbage
};

// What the hook has done, for reports: whether the chosen block came.
struct BlockFaultRecord {
  bool applied = false;
};

FaultHook DamageReaderBlock(const BlockFaultPlan& plan,
                            std::shared_ptr<BlockFaultRecord> record = nullptr);

}  // namespace sim
