// SmartcardUpdateCardCapabilities: the ATR in CardCapabilities becomes the card's parameters.
#include "host/smclib/atr_parse.h"
#include "platform/rtl.h"
#include "platform/smclib.h"

namespace {

constexpr ULONG kMicrosecondsPerMillisecond = 1000;
constexpr ULONG kT0WorkWaitingEtuFactor = 960;
constexpr ULONG kT1CharacterFrameEtu = 11;
constexpr ULONG kT1BlockWaitingClockFactor = 960 * 372;
constexpr ULONG kT1BlockGuardEtu = 22;

}  // namespace

extern "C" {

// The card state is the driver's to change (under OsData->SpinLock), so it is left alone here.
// GT stays 0: the reader times the card's characters itself, and a nonzero guard time would make
// the serial adapter write one byte per request.
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& caps = SmartcardExtension->CardCapabilities;
  UCHAR length = caps.ATR.Length;
  if (length > sizeof caps.ATR.Buffer) return STATUS_UNRECOGNIZED_MEDIA;
  if (length > 0 && caps.ATR.Buffer[0] == host::smclib::kTsInverseUndecoded) {
    for (UCHAR i = 0; i < length; ++i) {
      caps.ATR.Buffer[i] = host::smclib::DecodeInverseConvention(caps.ATR.Buffer[i]);
    }
  }
  host::smclib::AtrParameters parsed;
  const host::smclib::AtrParameters* atr =
      NT_SUCCESS(host::smclib::ParseAtrBytes(caps.ATR.Buffer, length, &parsed)) ? &parsed : nullptr;
  ULONG supported = 0;
  if (atr && atr->specific_mode) {
    // TA2: the card runs the one protocol it names.
    if (atr->specific_protocol == 0) supported = SCARD_PROTOCOL_T0;
    if (atr->specific_protocol == 1) supported = SCARD_PROTOCOL_T1;
  } else if (atr) {
    if (atr->offers_t0) supported |= SCARD_PROTOCOL_T0;
    if (atr->offers_t1) supported |= SCARD_PROTOCOL_T1;
  }
  if (!atr || supported == 0) {
    caps.Protocol.Supported = 0;
    caps.HistoricalChars.Length = 0;
    return STATUS_UNRECOGNIZED_MEDIA;
  }

  caps.InversConvention = atr->inverse_convention;
  caps.Fl = atr->fi;
  caps.Dl = atr->di;
  caps.II = atr->ii;
  caps.P = atr->pi;
  caps.N = atr->n;
  caps.GT = 0;
  caps.Protocol.Supported = supported;
  caps.HistoricalChars.Length = atr->historical_length;
  RtlCopyMemory(caps.HistoricalChars.Buffer, atr->historical, atr->historical_length);
  caps.T0.WI = atr->wi;
  caps.T1.IFSC = atr->ifsc;
  caps.T1.CWI = atr->cwi;
  caps.T1.BWI = atr->bwi;
  caps.T1.EDC = atr->edc;

  // Times follow from the reader's default clock; without one they stay 0.
  ULONG clock_khz = SmartcardExtension->ReaderCapabilities.CLKFrequency.Default;
  ULONG f = host::smclib::ClockRateConversionFactor(atr->fi);
  ULONG d = host::smclib::BitRateAdjustmentFactor(atr->di);
  if (clock_khz != 0) {
    ULONGLONG etu = ULONGLONG(f) * kMicrosecondsPerMillisecond / (ULONGLONG(d) * clock_khz);
    caps.etu = static_cast<ULONG>(etu);
    caps.T0.WT = static_cast<ULONG>(ULONGLONG(atr->wi) * kT0WorkWaitingEtuFactor * f *
                                    kMicrosecondsPerMillisecond / clock_khz);
    caps.T1.CWT = static_cast<ULONG>((kT1CharacterFrameEtu + (1ull << atr->cwi)) * etu);
    caps.T1.BWT = static_cast<ULONG>((1ull << atr->bwi) * kT1BlockWaitingClockFactor *
                                         kMicrosecondsPerMillisecond / clock_khz +
                                     kT1CharacterFrameEtu * etu);
    caps.T1.BGT = static_cast<ULONG>(kT1BlockGuardEtu * etu);
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
