#include "sim/t1_block.h"

#include <algorithm>
#include <cstdio>

namespace sim::t1 {

Block MakeI(uint8_t nad, uint8_t ns, bool more, std::span<const uint8_t> inf) {
  Block b;
  b.nad = nad;
  b.pcb = uint8_t((ns ? kPcbISequence : 0) | (more ? kPcbIMore : 0));
  b.inf.assign(inf.begin(), inf.end());
  return b;
}

Block MakeR(uint8_t nr, RCode code) {
  Block b;
  b.nad = kNadControl;
  b.pcb = uint8_t(kPcbRBlock | (nr ? kPcbRSequence : 0) | uint8_t(code));
  return b;
}

Block MakeS(SKind kind, bool response, std::span<const uint8_t> inf) {
  Block b;
  b.nad = kNadControl;
  b.pcb = uint8_t(kPcbSBlock | (response ? kPcbSResponse : 0) | uint8_t(kind));
  b.inf.assign(inf.begin(), inf.end());
  return b;
}

uint8_t Lrc(std::span<const uint8_t> bytes) {
  uint8_t lrc = 0;
  for (uint8_t b : bytes) lrc ^= b;
  return lrc;
}

std::vector<uint8_t> Encode(const Block& block) {
  // Sized once and filled in place (growing a three-byte vector by an insert makes GCC 12 at -O2
  // warn about bounds that are never crossed).
  std::vector<uint8_t> out(kPrologueSize + block.inf.size() + kEpilogueSize);
  out[0] = block.nad;
  out[1] = block.pcb;
  out[2] = uint8_t(block.inf.size());
  std::copy(block.inf.begin(), block.inf.end(), out.begin() + kPrologueSize);
  out.back() = Lrc(std::span(out).first(out.size() - kEpilogueSize));
  return out;
}

std::optional<Block> Decode(std::span<const uint8_t> bytes) {
  if (bytes.size() < kPrologueSize + kEpilogueSize) return std::nullopt;
  if (bytes.size() != kPrologueSize + bytes[2] + kEpilogueSize) return std::nullopt;
  if (Lrc(bytes) != 0) return std::nullopt;
  Block b;
  b.nad = bytes[0];
  b.pcb = bytes[1];
  b.inf.assign(bytes.begin() + kPrologueSize, bytes.end() - kEpilogueSize);
  return b;
}

std::string DescribePcb(uint8_t pcb) {
  Block b;
  b.pcb = pcb;
  char text[64];
  switch (b.type()) {
    case BlockType::kI:
      std::snprintf(text, sizeof text, "I(%d,%s)", b.ns(), b.more() ? "more" : "no more");
      break;
    case BlockType::kR: {
      static const char* const kCodes[] = {"ok", "EDC error", "other error"};
      const char* code = b.r_code() < 3 ? kCodes[b.r_code()] : "bad code";
      std::snprintf(text, sizeof text, "R(%d,%s%s)", b.nr(), code,
                    (pcb & kPcbRReservedBit) ? ",bit 5 set" : "");
      break;
    }
    case BlockType::kS: {
      static const char* const kKinds[] = {"RESYNCH", "IFS", "ABORT", "WTX"};
      if (b.s_kind() < 4) {
        std::snprintf(text, sizeof text, "S(%s %s)", kKinds[b.s_kind()],
                      b.response() ? "response" : "request");
      } else {
        std::snprintf(text, sizeof text, "S(kind %d %s)", b.s_kind(),
                      b.response() ? "response" : "request");
      }
      break;
    }
  }
  return text;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    if (i) out += ' ';
    out += two;
  }
  return out;
}

}  // namespace sim::t1
