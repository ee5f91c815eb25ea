// The answer to reset for the host's programs (tools, tests, the fuzzer): the library's parser
// (host/smclib/atr_parse.h) with standard types. Host only.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "host/smclib/atr_parse.h"

namespace host::smclib {

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

// nullopt when the bytes are not exactly one well-formed ATR (ParseAtrBytes).
std::optional<Atr> ParseAtr(std::span<const uint8_t> bytes);

}  // namespace host::smclib
