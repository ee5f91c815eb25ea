#include "sim/cards/builtin_card.h"

#include <cstring>

namespace sim {

const char kBuiltinEfData[] = "Simulated card, elementary file 0101: known contents.";

namespace {
constexpr uint8_t kFciTemplate = 0x62;
constexpr uint8_t kFciFileId = 0x83;
constexpr uint8_t kFciFileSize = 0x80;
constexpr uint8_t kFciDescriptor = 0x82;
constexpr uint8_t kDescriptorTransparentEf = 0x01;
constexpr uint8_t kDescriptorDf = 0x38;
constexpr uint8_t kReadBinarySfiFlag = 0x80;

std::vector<uint8_t> EfData() {
  return std::vector<uint8_t>(kBuiltinEfData, kBuiltinEfData + std::strlen(kBuiltinEfData));
}

uint16_t Sw(uint8_t sw1, uint8_t sw2) { return uint16_t(sw1 << 8 | sw2); }
}  // namespace

BuiltinCard::BuiltinCard(BuiltinCardOptions options) : options_(options), rng_(options.seed) {}

std::vector<uint8_t> BuiltinCard::DualProtocolAtr() {
  return {0x3B, 0x93, 0x11, 0x80, 0x31, 0xFE, 0x45, 0x80, 0x31, 0xC0, 0xF9};
}

std::vector<uint8_t> BuiltinCard::T0OnlyAtr() { return {0x3B, 0x93, 0x11, 0x00, 0x80, 0x31, 0xC0}; }

std::vector<uint8_t> BuiltinCard::PowerOn() {
  current_file_ = kFileIdMf;
  pending_.clear();
  last_atr_ = options_.t0_only ? T0OnlyAtr() : DualProtocolAtr();
  return last_atr_;
}

void BuiltinCard::PowerOff() { pending_.clear(); }

host::kernel::Ticks BuiltinCard::ProcessingTime(std::span<const uint8_t> command) {
  if (command.size() >= 2) {
    if (auto it = slow_.find(command[1]); it != slow_.end()) return it->second;
  }
  return options_.processing_time;
}

std::vector<uint8_t> BuiltinCard::Transmit(std::span<const uint8_t> command) {
  ++commands_seen_;
  auto apdu = ParseApdu(command);
  if (!apdu) return Answer(kSwWrongLength);
  return Execute(*apdu);
}

std::vector<uint8_t> BuiltinCard::Execute(const Apdu& a) {
  if (a.cla == kClaIso) {
    switch (a.ins) {
      case kInsSelect:
        return Select(a);
      case kInsGetResponse:
        return GetResponse(a);
      case kInsReadBinary:
        return ReadBinary(a);
      case kInsGetChallenge: {
        if (!a.le || a.p1 || a.p2) return Answer(kSwIncorrectP1P2);
        std::vector<uint8_t> challenge(*a.le);
        for (auto& b : challenge) b = uint8_t(rng_());
        return Answer(challenge, kSwOk);
      }
      default:
        return Answer(kSwInsNotSupported);
    }
  }
  if (a.cla == kClaProprietary) {
    if (a.ins == kInsWritePattern) {
      // Proves a command crossed intact: its data must be the pattern READ PATTERN answers.
      for (size_t i = 0; i < a.data.size(); ++i) {
        if (a.data[i] != uint8_t(i)) return Answer(kSwIncorrectData);
      }
      return Answer(kSwOk);
    }
    if (a.ins != kInsReadPattern) return Answer(kSwInsNotSupported);
    size_t n = size_t(a.p1) << 8 | a.p2;
    if (n > kMaxPatternLength || !a.data.empty()) return Answer(kSwWrongLength);
    std::vector<uint8_t> pattern(n);
    for (size_t i = 0; i < n; ++i) pattern[i] = uint8_t(i);
    return Answer(pattern, kSwOk);
  }
  return Answer(kSwClaNotSupported);
}

std::vector<uint8_t> BuiltinCard::Select(const Apdu& a) {
  if (a.p1 != kSelectByFileId || (a.p2 != kSelectNoResponse && a.p2 != kSelectReturnFci)) {
    return Answer(kSwIncorrectP1P2);
  }
  if (a.data.size() != 2) return Answer(kSwWrongLength);
  uint16_t fid = uint16_t(a.data[0] << 8 | a.data[1]);
  if (fid != kFileIdMf && fid != kFileIdData) return Answer(kSwFileNotFound);
  current_file_ = fid;
  if (a.p2 == kSelectNoResponse) return Answer(kSwOk);
  std::vector<uint8_t> fci{kFciFileId, 2, a.data[0], a.data[1]};
  if (fid == kFileIdData) {
    size_t size = EfData().size();
    fci.insert(fci.end(), {kFciFileSize, 2, uint8_t(size >> 8), uint8_t(size)});
    fci.insert(fci.end(), {kFciDescriptor, 1, kDescriptorTransparentEf});
  } else {
    fci.insert(fci.end(), {kFciDescriptor, 1, kDescriptorDf});
  }
  fci.insert(fci.begin(), {kFciTemplate, uint8_t(fci.size())});
  pending_ = fci;
  return Answer(Sw(kSw1BytesAvailable, uint8_t(pending_.size())));
}

std::vector<uint8_t> BuiltinCard::GetResponse(const Apdu& a) {
  if (a.p1 || a.p2) return Answer(kSwIncorrectP1P2);
  if (pending_.empty()) return Answer(kSwNoPreciseDiagnosis);
  size_t le = a.le.value_or(kMaxShortLe);
  if (le > pending_.size()) return Answer(Sw(kSw1WrongLe, uint8_t(pending_.size())));
  std::vector<uint8_t> data(pending_.begin(), pending_.begin() + long(le));
  pending_.erase(pending_.begin(), pending_.begin() + long(le));
  if (!pending_.empty()) return Answer(data, Sw(kSw1BytesAvailable, uint8_t(pending_.size())));
  return Answer(data, kSwOk);
}

std::vector<uint8_t> BuiltinCard::ReadBinary(const Apdu& a) {
  if (a.p1 & kReadBinarySfiFlag) return Answer(kSwFunctionNotSupported);
  if (current_file_ != kFileIdData) return Answer(kSwNoCurrentEf);
  if (!a.le || !a.data.empty()) return Answer(kSwWrongLength);
  std::vector<uint8_t> file = EfData();
  size_t offset = size_t(a.p1) << 8 | a.p2;
  if (offset > file.size()) return Answer(kSwWrongP1P2);
  size_t n = std::min(*a.le, file.size() - offset);
  std::vector<uint8_t> data(file.begin() + long(offset), file.begin() + long(offset + n));
  return Answer(data, n < *a.le ? kSwEndOfFile : kSwOk);
}

}  // namespace sim
