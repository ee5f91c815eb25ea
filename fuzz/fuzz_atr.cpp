// Fuzz target: the answer to reset as the reader hands it over, through the smart card library's
// parse (SmartcardUpdateCardCapabilities, ParseAtr) and the tool's explanation of it.
//
// The input is the ATR buffer's contents as the card power path leaves them: up to the 64 bytes
// of CardCapabilities.ATR, the reader's clock set as the driver reports it (or none, as before
// the binding has filled its capabilities: the last input bit chooses).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "host/smclib/atr.h"
#include "platform/smclib.h"
#include "reader/reader_binding.h"
#include "tools/atr_explanation.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_atr: %s\n", what);
  std::abort();
}

void CheckParsed(const host::smclib::Atr& atr, size_t length) {
  if (length > host::smclib::kMaximumAtrLength) Fail("parsed an ATR longer than 33 bytes");
  if (atr.historical.size() > 15) Fail("more than 15 historical bytes");
  if (atr.ifsc == 0 || atr.ifsc == 0xFF) Fail("reserved IFSC accepted");
  if (!host::smclib::ClockRateConversionFactor(atr.fi)) Fail("reserved F accepted");
  if (!host::smclib::BitRateAdjustmentFactor(atr.di)) Fail("reserved D accepted");
}

void UpdateCapabilities(std::span<const uint8_t> atr, bool with_clock) {
  SMARTCARD_EXTENSION extension;
  std::memset(&extension, 0, sizeof extension);
  if (with_clock) extension.ReaderCapabilities.CLKFrequency.Default = READER_CLOCK_KHZ;
  auto& caps = extension.CardCapabilities;
  std::memcpy(caps.ATR.Buffer, atr.data(), atr.size());
  caps.ATR.Length = static_cast<UCHAR>(atr.size());
  NTSTATUS status = SmartcardUpdateCardCapabilities(&extension);
  if (status == STATUS_SUCCESS) {
    if (caps.Protocol.Supported == 0) Fail("card accepted without a protocol");
    if (caps.Protocol.Supported & ~ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) {
      Fail("a protocol besides T=0 and T=1 offered");
    }
    if (caps.HistoricalChars.Length > MAXIMUM_HISTORICAL_CHARS) Fail("historical bytes overrun");
  } else if (status != STATUS_UNRECOGNIZED_MEDIA) {
    Fail("ATR parse failed with a status other than STATUS_UNRECOGNIZED_MEDIA");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > MAXIMUM_ATR_LENGTH + 1) return -1;
  bool with_clock = (data[size - 1] & 1) != 0;
  std::span<const uint8_t> atr(data, size - 1);

  auto parsed = host::smclib::ParseAtr(atr);
  if (parsed) CheckParsed(*parsed, atr.size());
  UpdateCapabilities(atr, with_clock);
  if (tools::ExplainAtr(atr).empty()) Fail("an ATR explained by no line at all");
  return 0;
}
