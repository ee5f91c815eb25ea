// Command APDUs (ISO 7816-4 short form) and the status words the simulated cards and the reader
// answer with.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

// Status words, as SW1 << 8 | SW2.
constexpr uint16_t kSwOk = 0x9000;
constexpr uint16_t kSwEndOfFile = 0x6282;  // fewer bytes than asked for
constexpr uint16_t kSwWrongLength = 0x6700;
constexpr uint16_t kSwNoCurrentEf = 0x6986;
constexpr uint16_t kSwIncorrectData = 0x6A80;
constexpr uint16_t kSwFunctionNotSupported = 0x6A81;
constexpr uint16_t kSwFileNotFound = 0x6A82;
constexpr uint16_t kSwIncorrectP1P2 = 0x6A86;
constexpr uint16_t kSwWrongP1P2 = 0x6B00;
constexpr uint16_t kSwInsNotSupported = 0x6D00;
constexpr uint16_t kSwClaNotSupported = 0x6E00;
constexpr uint16_t kSwNoPreciseDiagnosis = 0x6F00;
constexpr uint8_t kSw1BytesAvailable = 0x61;  // 61 xx: xx bytes wait for GET RESPONSE
constexpr uint8_t kSw1WrongLe = 0x6C;         // 6C xx: ask again with Le = xx

constexpr size_t kApduHeaderSize = 4;
constexpr size_t kMaxShortLe = 256;  // Le byte 00

struct Apdu {
  uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  std::vector<uint8_t> data;  // Lc bytes
  std::optional<size_t> le;   // expected length, 1..256
};

// A well-formed short APDU, or nullopt.
std::optional<Apdu> ParseApdu(std::span<const uint8_t> bytes);

// Data followed by a status word.
std::vector<uint8_t> Answer(std::span<const uint8_t> data, uint16_t sw);
inline std::vector<uint8_t> Answer(uint16_t sw) { return Answer({}, sw); }

}  // namespace sim
