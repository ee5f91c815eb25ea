// ISO 7816-3 answer to reset: what a card says about itself, parsed strictly.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace host::smclib {

inline constexpr uint8_t kTsDirect = 0x3B;
inline constexpr uint8_t kTsInverse = 0x3F;
// TS as it reads when an inverse-convention card's bytes were taken in direct convention.
inline constexpr uint8_t kTsInverseUndecoded = 0x03;
inline constexpr size_t kMaximumAtrLength = 33;

// Defaults where the ATR does not give a value (ISO 7816-3).
inline constexpr uint8_t kDefaultFi = 1;  // F 372
inline constexpr uint8_t kDefaultDi = 1;  // D 1
inline constexpr uint8_t kDefaultWi = 10;
inline constexpr uint8_t kDefaultIfsc = 32;
inline constexpr uint8_t kDefaultCwi = 13;
inline constexpr uint8_t kDefaultBwi = 4;

struct Atr {
  bool inverse_convention = false;
  uint8_t fi = kDefaultFi;  // TA1 high nibble, index into the F table
  uint8_t di = kDefaultDi;  // TA1 low nibble, index into the D table
  uint8_t ii = 0;           // TB1 bits 7..6
  uint8_t pi = 0;           // TB1 bits 5..1 (or PI2 from TB2)
  uint8_t n = 0;            // TC1, extra guard time
  uint8_t wi = kDefaultWi;  // TC2, T=0 waiting integer
  bool offers_t0 = false;
  bool offers_t1 = false;
  bool specific_mode = false;  // TA2 present: the card runs one protocol only
  uint8_t specific_protocol = 0;
  uint8_t ifsc = kDefaultIfsc;  // first TA for T=1
  uint8_t cwi = kDefaultCwi;    // first TB for T=1, low nibble
  uint8_t bwi = kDefaultBwi;    // first TB for T=1, high nibble
  uint8_t edc = 0;              // first TC for T=1, bit 0: 0 LRC, 1 CRC
  bool has_tck = false;
  std::vector<uint8_t> historical;
};

// The F and D values for the table indices, 0 for reserved indices.
uint32_t ClockRateConversionFactor(uint8_t fi);
uint32_t BitRateAdjustmentFactor(uint8_t di);
// Maximum clock frequency in kHz for the F index, 0 for reserved ones.
uint32_t MaximumClockKilohertz(uint8_t fi);

// The bytes of an inverse-convention ATR read in direct convention, decoded: each byte's bits are
// inverted and reversed.
uint8_t DecodeInverseConvention(uint8_t raw);

// nullopt when the bytes are not exactly one well-formed ATR: wrong TS, missing interface or
// historical bytes, bytes left over, a wrong TCK, or reserved parameter values.
std::optional<Atr> ParseAtr(std::span<const uint8_t> bytes);

}  // namespace host::smclib
