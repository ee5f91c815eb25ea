// ISO 7816-3 T=1 blocks as they cross the reader link: node addresses, protocol control bytes,
// the longitudinal redundancy check, building, parsing and describing blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::t1 {

// Node addresses and the NAD bytes they make (destination in bits 6..4, source in bits 2..0).
constexpr uint8_t kAddressCard = 0;
constexpr uint8_t kAddressReader = 1;
constexpr uint8_t kAddressHost = 2;
constexpr uint8_t MakeNad(uint8_t destination, uint8_t source) {
  return uint8_t(((destination & 7) << 4) | (source & 7));
}
constexpr uint8_t NadDestination(uint8_t nad) { return (nad >> 4) & 7; }
constexpr uint8_t NadSource(uint8_t nad) { return nad & 7; }
constexpr uint8_t kNadHostToReader = MakeNad(kAddressReader, kAddressHost);  // 0x12
constexpr uint8_t kNadHostToCard = MakeNad(kAddressCard, kAddressHost);      // 0x02
constexpr uint8_t kNadReaderToHost = MakeNad(kAddressHost, kAddressReader);  // 0x21
constexpr uint8_t kNadCardToHost = MakeNad(kAddressHost, kAddressCard);      // 0x20
constexpr uint8_t kNadControl = 0x00;                                        // R- and S-blocks

// Protocol control byte.
constexpr uint8_t kPcbTypeMask = 0xC0;
constexpr uint8_t kPcbRBlock = 0x80;  // bits 7..6 = 10
constexpr uint8_t kPcbSBlock = 0xC0;  // bits 7..6 = 11
constexpr uint8_t kPcbINotI = 0x80;   // bit 7 clear: I-block
constexpr uint8_t kPcbISequence = 0x40;
constexpr uint8_t kPcbIMore = 0x20;
constexpr uint8_t kPcbRSequence = 0x10;
constexpr uint8_t kPcbRReservedBit = 0x20;
constexpr uint8_t kPcbRCodeMask = 0x0F;
constexpr uint8_t kPcbSResponse = 0x20;
constexpr uint8_t kPcbSKindMask = 0x1F;

enum class RCode : uint8_t { kAcknowledge = 0, kEdcError = 1, kOtherError = 2 };
enum class SKind : uint8_t { kResynch = 0, kIfs = 1, kAbort = 2, kWtx = 3 };

constexpr size_t kPrologueSize = 3;  // NAD, PCB, LEN
constexpr size_t kEpilogueSize = 1;  // LRC
constexpr size_t kMaxInf = 254;      // LEN 255 is reserved
constexpr uint8_t kDefaultIfs = 32;  // IFSC and IFSD until an S(IFS) exchange says otherwise

enum class BlockType { kI, kR, kS };

struct Block {
  uint8_t nad = 0;
  uint8_t pcb = 0;
  std::vector<uint8_t> inf;

  BlockType type() const {
    if ((pcb & kPcbINotI) == 0) return BlockType::kI;
    return (pcb & kPcbTypeMask) == kPcbSBlock ? BlockType::kS : BlockType::kR;
  }
  // I-blocks
  uint8_t ns() const { return (pcb & kPcbISequence) ? 1 : 0; }
  bool more() const { return (pcb & kPcbIMore) != 0; }
  // R-blocks
  uint8_t nr() const { return (pcb & kPcbRSequence) ? 1 : 0; }
  uint8_t r_code() const { return pcb & kPcbRCodeMask; }
  // S-blocks
  bool response() const { return (pcb & kPcbSResponse) != 0; }
  uint8_t s_kind() const { return pcb & kPcbSKindMask; }
  bool operator==(const Block&) const = default;
};

Block MakeI(uint8_t nad, uint8_t ns, bool more, std::span<const uint8_t> inf);
Block MakeR(uint8_t nr, RCode code);
Block MakeS(SKind kind, bool response, std::span<const uint8_t> inf = {});

// XOR of the bytes.
uint8_t Lrc(std::span<const uint8_t> bytes);
// NAD PCB LEN INF LRC.
std::vector<uint8_t> Encode(const Block& block);

// A whole block with a good LRC and LEN matching its size; nullopt otherwise.
std::optional<Block> Decode(std::span<const uint8_t> bytes);

// "I(0,no more)", "R(1,EDC error)", "S(IFS request)".
std::string DescribePcb(uint8_t pcb);
// "12 00 05 20 13 00 80 00 A4"
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace sim::t1
