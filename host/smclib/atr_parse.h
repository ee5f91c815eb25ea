// ISO 7816-3 answer to reset: what a card says about itself, parsed strictly. Kernel C++: the
// library parses the ATR the driver stores; the host's tools read it through host/smclib/atr.h.
#pragma once

#include "platform/ntdef.h"
#include "platform/ntstatus.h"

namespace host::smclib {

constexpr UCHAR kTsDirect = 0x3B;
constexpr UCHAR kTsInverse = 0x3F;
// TS as it reads when an inverse-convention card's bytes were taken in direct convention.
constexpr UCHAR kTsInverseUndecoded = 0x03;
constexpr ULONG kMaximumAtrLength = 33;
// T0's low nibble counts them.
constexpr ULONG kMaximumHistoricalBytes = 15;

// Defaults where the ATR does not give a value (ISO 7816-3).
constexpr UCHAR kDefaultFi = 1;  // F 372
constexpr UCHAR kDefaultDi = 1;  // D 1
constexpr UCHAR kDefaultWi = 10;
constexpr UCHAR kDefaultIfsc = 32;
constexpr UCHAR kDefaultCwi = 13;
constexpr UCHAR kDefaultBwi = 4;

struct AtrParameters {
  BOOLEAN inverse_convention;
  UCHAR fi;  // TA1 high nibble, index into the F table
  UCHAR di;  // TA1 low nibble, index into the D table
  UCHAR ii;  // TB1 bits 7..6
  UCHAR pi;  // TB1 bits 5..1 (or PI2 from TB2)
  UCHAR n;   // TC1, extra guard time
  UCHAR wi;  // TC2, T=0 waiting integer
  BOOLEAN offers_t0;
  BOOLEAN offers_t1;
  BOOLEAN specific_mode;  // TA2 present: the card runs one protocol only
  UCHAR specific_protocol;
  UCHAR ifsc;  // first TA for T=1
  UCHAR cwi;   // first TB for T=1, low nibble
  UCHAR bwi;   // first TB for T=1, high nibble
  UCHAR edc;   // first TC for T=1, bit 0: 0 LRC, 1 CRC
  BOOLEAN has_tck;
  UCHAR historical_length;
  UCHAR historical[kMaximumHistoricalBytes];
};

// The F and D values for the table indices, 0 for reserved indices.
ULONG ClockRateConversionFactor(UCHAR fi);
ULONG BitRateAdjustmentFactor(UCHAR di);
// Maximum clock frequency in kHz for the F index, 0 for reserved ones.
ULONG MaximumClockKilohertz(UCHAR fi);

// The bytes of an inverse-convention ATR read in direct convention, decoded: each byte's bits are
// inverted and reversed.
UCHAR DecodeInverseConvention(UCHAR raw);

// STATUS_UNRECOGNIZED_MEDIA, and *atr undefined, when the bytes are not exactly one well-formed
// ATR: wrong TS, missing interface or historical bytes, bytes left over, a wrong TCK, or
// reserved parameter values.
NTSTATUS ParseAtrBytes(const UCHAR* bytes, ULONG length, AtrParameters* atr);

}  // namespace host::smclib
