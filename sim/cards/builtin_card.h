// The built-in card: a small ISO 7816-4 processor card.
//
// ATR (T=0 and T=1): 3B 93 11 80 31 FE 45 80 31 C0 F9  (TA1 11, TD1 T=0, TD2 T=1 with IFSC 254,
// BWI 4, CWI 5, historical bytes 80 31 C0, TCK). T=0-only variant: 3B 93 11 00 80 31 C0.
//
// Files: the MF 3F00 and, in it, the transparent EF 0101 with kBuiltinEfData.
// Commands:
//   00 A4 00 0C 02 fid          SELECT, no answer data: 90 00 (6A 82 for an unknown file)
//   00 A4 00 00 02 fid          SELECT with FCI: 61 xx, then GET RESPONSE
//   00 C0 00 00 Le              GET RESPONSE: the pending data (6C xx when Le is too long)
//   00 B0 off-hi off-lo Le      READ BINARY of the selected EF (62 82 when the file ends first)
//   00 84 00 00 Le              GET CHALLENGE: Le bytes from the card's seeded generator
//   80 F0 N-hi N-lo             READ PATTERN: N bytes (0..4096), byte i = i mod 256, then 90 00
//   80 F2 00 00 Lc data [Le]    WRITE PATTERN: 90 00 when data byte i is i mod 256, else 6A 80
// Unknown classes answer 6E 00, unknown instructions 6D 00, malformed commands 67 00.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sim/cards/apdu.h"
#include "sim/cards/card.h"

namespace sim {

constexpr uint8_t kClaIso = 0x00;
constexpr uint8_t kClaProprietary = 0x80;
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsGetResponse = 0xC0;
constexpr uint8_t kInsReadBinary = 0xB0;
constexpr uint8_t kInsGetChallenge = 0x84;
constexpr uint8_t kInsReadPattern = 0xF0;
constexpr uint8_t kInsWritePattern = 0xF2;
constexpr uint8_t kSelectByFileId = 0x00;
constexpr uint8_t kSelectReturnFci = 0x00;
constexpr uint8_t kSelectNoResponse = 0x0C;
constexpr uint16_t kFileIdMf = 0x3F00;
constexpr uint16_t kFileIdData = 0x0101;
constexpr size_t kMaxPatternLength = 4096;
extern const char kBuiltinEfData[];

struct BuiltinCardOptions {
  bool t0_only = false;
  host::kernel::Ticks processing_time = host::kernel::Milliseconds(2);
  uint64_t seed = 1;  // GET CHALLENGE
};

class BuiltinCard : public Card {
 public:
  explicit BuiltinCard(BuiltinCardOptions options = {});

  static std::vector<uint8_t> DualProtocolAtr();
  static std::vector<uint8_t> T0OnlyAtr();

  std::vector<uint8_t> PowerOn() override;
  void PowerOff() override;
  std::vector<uint8_t> Transmit(std::span<const uint8_t> command) override;
  host::kernel::Ticks ProcessingTime(std::span<const uint8_t> command) override;

  // A slower card for one instruction (WTX and time-out tests).
  void SetProcessingTime(uint8_t ins, host::kernel::Ticks time) { slow_[ins] = time; }
  int commands_seen() const { return commands_seen_; }

 private:
  std::vector<uint8_t> Execute(const Apdu& a);
  std::vector<uint8_t> Select(const Apdu& a);
  std::vector<uint8_t> GetResponse(const Apdu& a);
  std::vector<uint8_t> ReadBinary(const Apdu& a);

  BuiltinCardOptions options_;
  std::mt19937_64 rng_;
  std::map<uint8_t, host::kernel::Ticks> slow_;
  uint16_t current_file_ = kFileIdMf;
  std::vector<uint8_t> pending_;  // for GET RESPONSE
  int commands_seen_ = 0;
};

}  // namespace sim
