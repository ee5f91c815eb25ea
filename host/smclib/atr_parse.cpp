#include "host/smclib/atr_parse.h"

#include "platform/rtl.h"

namespace host::smclib {
namespace {

constexpr ULONG kF[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                          0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr ULONG kFMaxKhz[16] = {4000, 5000, 6000, 8000,  12000, 16000, 20000, 0,
                                0,    5000, 7500, 10000, 15000, 20000, 0,     0};
constexpr ULONG kD[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

constexpr UCHAR kTaPresent = 0x10;
constexpr UCHAR kTbPresent = 0x20;
constexpr UCHAR kTcPresent = 0x40;
constexpr UCHAR kTdPresent = 0x80;
constexpr UCHAR kProtocolT0 = 0;
constexpr UCHAR kProtocolT1 = 1;
constexpr UCHAR kGlobalInterfaceBytes = 15;
constexpr UCHAR kIfscReservedLow = 0x00;
constexpr UCHAR kIfscReservedHigh = 0xFF;
constexpr UCHAR kLargestBwi = 9;

// The ATR's bytes with a read position.
struct Reader {
  const UCHAR* bytes;
  ULONG length;
  ULONG pos;
};

bool Next(Reader& in, UCHAR& out) {
  if (in.pos >= in.length) return false;
  out = in.bytes[in.pos++];
  return true;
}

}  // namespace

ULONG ClockRateConversionFactor(UCHAR fi) { return kF[fi & 0x0F]; }
ULONG BitRateAdjustmentFactor(UCHAR di) { return kD[di & 0x0F]; }
ULONG MaximumClockKilohertz(UCHAR fi) { return kFMaxKhz[fi & 0x0F]; }

UCHAR DecodeInverseConvention(UCHAR raw) {
  UCHAR inverted = static_cast<UCHAR>(~raw);
  UCHAR out = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (inverted & (1u << bit)) out |= static_cast<UCHAR>(0x80u >> bit);
  }
  return out;
}

NTSTATUS ParseAtrBytes(const UCHAR* bytes, ULONG length, AtrParameters* atr) {
  if (!bytes || !atr || length < 2 || length > kMaximumAtrLength) return STATUS_UNRECOGNIZED_MEDIA;
  RtlZeroMemory(atr, sizeof *atr);
  atr->fi = kDefaultFi;
  atr->di = kDefaultDi;
  atr->wi = kDefaultWi;
  atr->ifsc = kDefaultIfsc;
  atr->cwi = kDefaultCwi;
  atr->bwi = kDefaultBwi;
  if (bytes[0] == kTsInverse) {
    atr->inverse_convention = TRUE;
  } else if (bytes[0] != kTsDirect) {
    return STATUS_UNRECOGNIZED_MEDIA;
  }
  Reader in{bytes, length, 1};

  UCHAR t0 = bytes[in.pos++];
  UCHAR indicator = t0;  // presence bits of the next group, high nibble
  const ULONG historical = t0 & 0x0F;
  bool any_protocol_but_t0 = false;
  bool any_td = false;
  int group = 1;                       // i of TAi, TBi, TCi
  UCHAR group_protocol = kProtocolT0;  // T the group's bytes belong to (from TD(i-1))
  bool t1_ta_seen = false, t1_tb_seen = false, t1_tc_seen = false;

  for (;;) {
    UCHAR ta = 0, tb = 0, tc = 0, td = 0;
    if ((indicator & kTaPresent) && !Next(in, ta)) return STATUS_UNRECOGNIZED_MEDIA;
    if ((indicator & kTbPresent) && !Next(in, tb)) return STATUS_UNRECOGNIZED_MEDIA;
    if ((indicator & kTcPresent) && !Next(in, tc)) return STATUS_UNRECOGNIZED_MEDIA;
    if ((indicator & kTdPresent) && !Next(in, td)) return STATUS_UNRECOGNIZED_MEDIA;

    if (group == 1) {
      if (indicator & kTaPresent) {
        atr->fi = ta >> 4;
        atr->di = ta & 0x0F;
        if (!ClockRateConversionFactor(atr->fi) || !BitRateAdjustmentFactor(atr->di)) {
          return STATUS_UNRECOGNIZED_MEDIA;
        }
      }
      if (indicator & kTbPresent) {
        atr->ii = (tb >> 5) & 0x03;
        atr->pi = tb & 0x1F;
      }
      if (indicator & kTcPresent) atr->n = tc;
    } else if (group == 2) {
      if (indicator & kTaPresent) {
        atr->specific_mode = TRUE;
        atr->specific_protocol = ta & 0x0F;
      }
      if (indicator & kTbPresent) atr->pi = tb;
      if ((indicator & kTcPresent) && group_protocol == kProtocolT0) atr->wi = tc;
    } else if (group_protocol == kProtocolT1) {
      if ((indicator & kTaPresent) && !t1_ta_seen) {
        if (ta == kIfscReservedLow || ta == kIfscReservedHigh) return STATUS_UNRECOGNIZED_MEDIA;
        atr->ifsc = ta;
        t1_ta_seen = true;
      }
      if ((indicator & kTbPresent) && !t1_tb_seen) {
        atr->cwi = tb & 0x0F;
        atr->bwi = tb >> 4;
        if (atr->bwi > kLargestBwi) return STATUS_UNRECOGNIZED_MEDIA;
        t1_tb_seen = true;
      }
      if ((indicator & kTcPresent) && !t1_tc_seen) {
        atr->edc = tc & 0x01;
        t1_tc_seen = true;
      }
    }

    if (!(indicator & kTdPresent)) break;
    any_td = true;
    UCHAR protocol = td & 0x0F;
    if (protocol != kProtocolT0) any_protocol_but_t0 = true;
    if (protocol == kProtocolT0) atr->offers_t0 = TRUE;
    if (protocol == kProtocolT1) atr->offers_t1 = TRUE;
    if (protocol != kGlobalInterfaceBytes) group_protocol = protocol;
    indicator = td;
    ++group;
  }
  if (!any_td) atr->offers_t0 = TRUE;  // no TD1: T=0 only

  if (in.length - in.pos < historical) return STATUS_UNRECOGNIZED_MEDIA;
  atr->historical_length = static_cast<UCHAR>(historical);
  RtlCopyMemory(atr->historical, bytes + in.pos, historical);
  in.pos += historical;

  atr->has_tck = any_protocol_but_t0;
  if (atr->has_tck) {
    UCHAR tck = 0;
    if (!Next(in, tck)) return STATUS_UNRECOGNIZED_MEDIA;
    UCHAR check = 0;
    for (ULONG i = 1; i < in.pos; ++i) check ^= bytes[i];
    if (check != 0) return STATUS_UNRECOGNIZED_MEDIA;
  }
  if (in.pos != in.length) return STATUS_UNRECOGNIZED_MEDIA;
  return STATUS_SUCCESS;
}

}  // namespace host::smclib
