#include "host/smclib/atr.h"

#include <array>

namespace host::smclib {
namespace {

constexpr std::array<uint32_t, 16> kF = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                         0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr std::array<uint32_t, 16> kFMaxKhz = {4000, 5000, 6000, 8000,  12000, 16000, 20000, 0,
                                               0,    5000, 7500, 10000, 15000, 20000, 0,     0};
constexpr std::array<uint32_t, 16> kD = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

constexpr uint8_t kTaPresent = 0x10;
constexpr uint8_t kTbPresent = 0x20;
constexpr uint8_t kTcPresent = 0x40;
constexpr uint8_t kTdPresent = 0x80;
constexpr uint8_t kProtocolT0 = 0;
constexpr uint8_t kProtocolT1 = 1;
constexpr uint8_t kGlobalInterfaceBytes = 15;
constexpr uint8_t kIfscReservedLow = 0x00;
constexpr uint8_t kIfscReservedHigh = 0xFF;
constexpr uint8_t kLargestBwi = 9;

}  // namespace

uint32_t ClockRateConversionFactor(uint8_t fi) { return kF[fi & 0x0F]; }
uint32_t BitRateAdjustmentFactor(uint8_t di) { return kD[di & 0x0F]; }
uint32_t MaximumClockKilohertz(uint8_t fi) { return kFMaxKhz[fi & 0x0F]; }

uint8_t DecodeInverseConvention(uint8_t raw) {
  uint8_t inverted = static_cast<uint8_t>(~raw);
  uint8_t out = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (inverted & (1u << bit)) out |= static_cast<uint8_t>(0x80u >> bit);
  }
  return out;
}

std::optional<Atr> ParseAtr(std::span<const uint8_t> bytes) {
  if (bytes.size() < 2 || bytes.size() > kMaximumAtrLength) return std::nullopt;
  Atr atr;
  if (bytes[0] == kTsInverse) {
    atr.inverse_convention = true;
  } else if (bytes[0] != kTsDirect) {
    return std::nullopt;
  }
  size_t pos = 1;
  auto next = [&](uint8_t& out) {
    if (pos >= bytes.size()) return false;
    out = bytes[pos++];
    return true;
  };

  uint8_t t0 = bytes[pos++];
  uint8_t indicator = t0;  // presence bits of the next group, high nibble
  const size_t historical = t0 & 0x0F;
  bool any_protocol_but_t0 = false;
  bool any_td = false;
  int group = 1;                         // i of TAi, TBi, TCi
  uint8_t group_protocol = kProtocolT0;  // T the group's bytes belong to (from TD(i-1))
  bool t1_ta_seen = false, t1_tb_seen = false, t1_tc_seen = false;

  for (;;) {
    uint8_t ta = 0, tb = 0, tc = 0, td = 0;
    if ((indicator & kTaPresent) && !next(ta)) return std::nullopt;
    if ((indicator & kTbPresent) && !next(tb)) return std::nullopt;
    if ((indicator & kTcPresent) && !next(tc)) return std::nullopt;
    if ((indicator & kTdPresent) && !next(td)) return std::nullopt;

    if (group == 1) {
      if (indicator & kTaPresent) {
        atr.fi = ta >> 4;
        atr.di = ta & 0x0F;
        if (!ClockRateConversionFactor(atr.fi) || !BitRateAdjustmentFactor(atr.di)) {
          return std::nullopt;
        }
      }
      if (indicator & kTbPresent) {
        atr.ii = (tb >> 5) & 0x03;
        atr.pi = tb & 0x1F;
      }
      if (indicator & kTcPresent) atr.n = tc;
    } else if (group == 2) {
      if (indicator & kTaPresent) {
        atr.specific_mode = true;
        atr.specific_protocol = ta & 0x0F;
      }
      if (indicator & kTbPresent) atr.pi = tb;
      if ((indicator & kTcPresent) && group_protocol == kProtocolT0) atr.wi = tc;
    } else if (group_protocol == kProtocolT1) {
      if ((indicator & kTaPresent) && !t1_ta_seen) {
        if (ta == kIfscReservedLow || ta == kIfscReservedHigh) return std::nullopt;
        atr.ifsc = ta;
        t1_ta_seen = true;
      }
      if ((indicator & kTbPresent) && !t1_tb_seen) {
        atr.cwi = tb & 0x0F;
        atr.bwi = tb >> 4;
        if (atr.bwi > kLargestBwi) return std::nullopt;
        t1_tb_seen = true;
      }
      if ((indicator & kTcPresent) && !t1_tc_seen) {
        atr.edc = tc & 0x01;
        t1_tc_seen = true;
      }
    }

    if (!(indicator & kTdPresent)) break;
    any_td = true;
    uint8_t protocol = td & 0x0F;
    if (protocol != kProtocolT0) any_protocol_but_t0 = true;
    if (protocol == kProtocolT0) atr.offers_t0 = true;
    if (protocol == kProtocolT1) atr.offers_t1 = true;
    if (protocol != kGlobalInterfaceBytes) group_protocol = protocol;
    indicator = td;
    ++group;
  }
  if (!any_td) atr.offers_t0 = true;  // no TD1: T=0 only

  if (bytes.size() - pos < historical) return std::nullopt;
  atr.historical.assign(bytes.begin() + pos, bytes.begin() + pos + historical);
  pos += historical;

  atr.has_tck = any_protocol_but_t0;
  if (atr.has_tck) {
    uint8_t tck = 0;
    if (!next(tck)) return std::nullopt;
    uint8_t check = 0;
    for (size_t i = 1; i < pos; ++i) check ^= bytes[i];
    if (check != 0) return std::nullopt;
  }
  if (pos != bytes.size()) return std::nullopt;
  return atr;
}

}  // namespace host::smclib
