#include "sim/cards/apdu.h"

namespace sim {

std::optional<Apdu> ParseApdu(std::span<const uint8_t> bytes) {
  if (bytes.size() < kApduHeaderSize) return std::nullopt;
  Apdu a;
  a.cla = bytes[0];
  a.ins = bytes[1];
  a.p1 = bytes[2];
  a.p2 = bytes[3];
  auto body = bytes.subspan(kApduHeaderSize);
  auto le_of = [](uint8_t b) { return b == 0 ? kMaxShortLe : size_t(b); };
  if (body.empty()) return a;  // case 1
  if (body.size() == 1) {      // case 2
    a.le = le_of(body[0]);
    return a;
  }
  size_t lc = body[0];
  if (lc == 0) return std::nullopt;  // extended length is not supported
  if (body.size() == 1 + lc) {       // case 3
    a.data.assign(body.begin() + 1, body.end());
    return a;
  }
  if (body.size() == 2 + lc) {  // case 4
    a.data.assign(body.begin() + 1, body.end() - 1);
    a.le = le_of(body.back());
    return a;
  }
  return std::nullopt;
}

std::vector<uint8_t> Answer(std::span<const uint8_t> data, uint16_t sw) {
  std::vector<uint8_t> out(data.begin(), data.end());
  out.push_back(uint8_t(sw >> 8));
  out.push_back(uint8_t(sw));
  return out;
}

}  // namespace sim
