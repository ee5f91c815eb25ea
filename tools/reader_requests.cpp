#include "tools/reader_requests.h"

#include "sim/reader_protocol.h"

namespace tools {

namespace {

constexpr uint8_t kSetParametersP1 = 0x00;
constexpr uint8_t kSetParametersP2 = 0x00;
constexpr uint8_t kRateObjectLength = 1;
constexpr uint8_t kRateObjectsLength = 3;  // tag, length, rate code
constexpr uint8_t kSw1Success = sim::kSwReaderOk >> 8;
constexpr uint8_t kSw2Success = sim::kSwReaderOk & 0xFF;

}  // namespace

std::vector<uint8_t> SetRateCommand(uint8_t rate_code) {
  return {sim::kClaReaderParameters, sim::kInsSetParameters, kSetParametersP1,  kSetParametersP2,
          kRateObjectsLength,        sim::kTagRateCode,      kRateObjectLength, rate_code};
}

host::io::IoResult SendRawReaderCommand(host::machine::ReaderHandle& reader,
                                        std::span<const uint8_t> command) {
  return reader.Control(kIoctlRawReaderCommand, command, kRawAnswerCapacity);
}

bool ReaderAccepted(std::span<const uint8_t> answer) {
  return answer.size() >= 2 && answer[answer.size() - 2] == kSw1Success &&
         answer.back() == kSw2Success;
}

std::string CardStateName(ULONG state) {
  switch (state) {
    case SCARD_ABSENT:
      return "no card";
    case SCARD_PRESENT:
      return "card present";
    case SCARD_SWALLOWED:
      return "card present, not powered";
    case SCARD_POWERED:
      return "card powered";
    case SCARD_NEGOTIABLE:
      return "card powered, protocol negotiable";
    case SCARD_SPECIFIC:
      return "card powered, protocol selected";
    default:
      return "unknown";
  }
}

}  // namespace tools
