#include "tools/reader_answer.h"

#include "sim/reader_protocol.h"
#include "sim/t1_block.h"
#include "tools/status_words.h"

namespace tools {

namespace {

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

}  // namespace tools
