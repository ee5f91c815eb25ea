#include "tools/reader_answer.h"

#include "sim/reader_protocol.h"
#include "sim/t1_block.h"
#include "tools/status_words.h"

namespace tools {

namespace {

// Set-parameters data objects: tag, length, value.
constexpr size_t kSetParametersHeader = 5;
constexpr size_t kTlvHeader = 2;
constexpr size_t kP1 = 2;

// What a set-parameters command asks for: "protocol T=1", "rate 115200 bit/s".
std::string SetParametersText(std::span<const uint8_t> inf) {
  std::string text = "set parameters";
  const char* separator = ": ";
  for (size_t at = kSetParametersHeader; at + kTlvHeader <= inf.size();) {
    uint8_t tag = inf[at], length = inf[at + 1];
    if (at + kTlvHeader + length > inf.size() || length == 0) break;
    uint8_t value = inf[at + kTlvHeader];
    if (tag == sim::kTagProtocol) {
      text += separator + std::string(value == sim::kProtocolCodeT1   ? "protocol T=1"
                                      : value == sim::kProtocolCodeT0 ? "protocol T=0"
                                                                      : "protocol ?");
    } else if (tag == sim::kTagRateCode && value < sim::kRateByCode.size()) {
      text += separator + std::string("rate ") + std::to_string(sim::kRateByCode[value]) + " bit/s";
    }
    separator = ", ";
    at += kTlvHeader + length;
  }
  return text;
}

struct ReaderWord {
  uint16_t sw;
  const char* text;
};

constexpr ReaderWord kReaderWords[] = {
    {sim::kSwReaderOk, "success"},
    {sim::kSwCardReset, "success: the card was reset, its ATR comes before"},
    {sim::kSwCardMute, "error: the card did not answer in time"},
    {sim::kSwNoCard, "error: no card in the slot, or the card is not powered"},
    {sim::kSwTransmissionAborted, "error: the reader gave up its answer"},
    {sim::kSwRateRefused, "error: the reader does not take that line rate"},
    {sim::kSwProtocolAcceptedAlt, "success: parameters accepted (already in force)"},
    {sim::kSwProtocolNotSupported, "error: the card protocol is not supported"},
};

constexpr size_t kCommandHeader = 2;
constexpr size_t kStatusObjectLength = 3;  // tag, length, status byte

std::string CardStatusText(uint8_t status) {
  if (!(status & sim::kStatusCardPresent)) return "no card";
  bool powered = (status & sim::kStatusPowerMask) == sim::kStatusPowered;
  return powered ? "card present, powered" : "card present, not powered";
}

}  // namespace

std::string ExplainReaderStatusWord(uint8_t sw1, uint8_t sw2) {
  uint16_t sw = uint16_t(sw1 << 8 | sw2);
  for (const ReaderWord& w : kReaderWords) {
    if (w.sw == sw) return w.text;
  }
  return ExplainStatusWord(sw1, sw2);
}

std::vector<std::string> DescribeReaderData(std::span<const uint8_t> command,
                                            std::span<const uint8_t> data) {
  if (data.empty()) return {};
  bool get_status = command.size() >= kCommandHeader && command[0] == sim::kClaReader &&
                    command[1] == sim::kInsGetStatus;
  if (get_status && data.size() == kStatusObjectLength && data[0] == sim::kTagCardStatus &&
      data[1] == 1) {
    return {sim::t1::Hex(data) + "  card status: " + CardStatusText(data[2])};
  }
  return {sim::t1::Hex(data)};
}

std::optional<std::string> ReaderCommandName(std::span<const uint8_t> inf) {
  if (inf.size() < kCommandHeader) return std::nullopt;
  if (inf[0] == sim::kClaReader) {
    switch (inf[1]) {
      case sim::kInsResetCard:
        if (inf.size() > kP1 && inf[kP1] == sim::kP1Reader) return "reset reader";
        return "reset slot";
      case sim::kInsGetStatus:
        return "status";
      case sim::kInsPowerOff:
        return "power off slot";
    }
  }
  if (inf[0] == sim::kClaReaderParameters && inf[1] == sim::kInsSetParameters) {
    return SetParametersText(inf);
  }
  return std::nullopt;
}

}  // namespace tools
