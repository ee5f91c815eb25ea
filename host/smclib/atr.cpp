#include "host/smclib/atr.h"

namespace host::smclib {

std::optional<Atr> ParseAtr(std::span<const uint8_t> bytes) {
  if (bytes.size() > kMaximumAtrLength) return std::nullopt;
  AtrParameters p;
  if (!NT_SUCCESS(ParseAtrBytes(bytes.data(), ULONG(bytes.size()), &p))) return std::nullopt;
  Atr atr;
  atr.inverse_convention = p.inverse_convention;
  atr.fi = p.fi;
  atr.di = p.di;
  atr.ii = p.ii;
  atr.pi = p.pi;
  atr.n = p.n;
  atr.wi = p.wi;
  atr.offers_t0 = p.offers_t0;
  atr.offers_t1 = p.offers_t1;
  atr.specific_mode = p.specific_mode;
  atr.specific_protocol = p.specific_protocol;
  atr.ifsc = p.ifsc;
  atr.cwi = p.cwi;
  atr.bwi = p.bwi;
  atr.edc = p.edc;
  atr.has_tck = p.has_tck;
  atr.historical.assign(p.historical, p.historical + p.historical_length);
  return atr;
}

}  // namespace host::smclib
