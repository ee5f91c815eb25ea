// The protocols an answer to reset offers (ISO 7816-3 interface bytes).
#include "sim/cards/card.h"

namespace sim {

namespace {
constexpr uint8_t kTsDirect = 0x3B;
constexpr uint8_t kTsInverse = 0x3F;
constexpr uint8_t kTaPresent = 0x10;
constexpr uint8_t kTbPresent = 0x20;
constexpr uint8_t kTcPresent = 0x40;
constexpr uint8_t kTdPresent = 0x80;
constexpr uint8_t kProtocolMask = 0x0F;
}  // namespace

uint32_t AtrProtocols(std::span<const uint8_t> atr) {
  if (atr.size() < 2 || (atr[0] != kTsDirect && atr[0] != kTsInverse)) return 0;
  uint32_t protocols = 0;
  bool first_td = true;
  size_t i = 1;
  uint8_t y = atr[1];
  ++i;
  for (;;) {
    if (y & kTaPresent) ++i;
    if (y & kTbPresent) ++i;
    if (y & kTcPresent) ++i;
    if (!(y & kTdPresent)) break;
    if (i >= atr.size()) return 0;
    uint8_t td = atr[i++];
    uint8_t t = td & kProtocolMask;
    if (t < 15) protocols |= 1u << t;
    first_td = false;
    y = td;
  }
  if (first_td) protocols |= kProtocolT0;  // no TD1: T=0 only
  if (i > atr.size()) return 0;
  return protocols & (kProtocolT0 | kProtocolT1);
}

uint32_t Card::SupportedProtocols() { return AtrProtocols(last_atr_); }

}  // namespace sim
