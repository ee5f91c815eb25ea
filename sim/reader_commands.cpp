// The reader's own command set (I-blocks with NAD 0x12).
#include "sim/cards/apdu.h"
#include "sim/reader_firmware.h"
#include "sim/reader_protocol.h"

namespace sim {

namespace {
constexpr size_t kResetSize = 4;
constexpr size_t kPowerOffSize = 4;
constexpr size_t kSetParametersHeader = 5;
constexpr size_t kTlvHeader = 2;
}  // namespace

uint8_t Reader::Firmware::StatusByteLocked() const {
  uint8_t s = 0;
  if (card) s |= kStatusCardPresent;
  if (card && card_powered) s |= kStatusPowered;
  return s;
}

std::optional<std::vector<uint8_t>> Reader::Firmware::ReaderCommandLocked(
    const std::vector<uint8_t>& cmd) {
  if (cmd.size() < kApduHeaderSize) return Answer(kSwWrongLength);
  uint8_t cla = cmd[0], ins = cmd[1], p1 = cmd[2], p2 = cmd[3];
  if (cla == kClaReaderParameters) {
    if (ins != kInsSetParameters) return Answer(kSwInsNotSupported);
    return SetParametersLocked(cmd);
  }
  if (cla != kClaReader) return Answer(kSwClaNotSupported);
  switch (ins) {
    case kInsGetStatus: {
      if (p1 != kGetStatusP1 || p2 != kTagCardStatus) return Answer(kSwIncorrectP1P2);
      const uint8_t data[] = {kTagCardStatus, 1, StatusByteLocked()};
      return Answer(data, kSwReaderOk);
    }
    case kInsPowerOff:
      if (cmd.size() != kPowerOffSize) return Answer(kSwWrongLength);
      if (p1 != kP1Slot1) return Answer(kSwIncorrectP1P2);
      if (card && card_powered) {
        QueueJobLocked(CardJob{CardJob::Kind::kPowerOff, 0, 0, card, {}, 0, nullptr});
      }
      card_powered = false;
      selected_protocol = 0;
      return Answer(kSwReaderOk);
    case kInsResetCard: {
      if (cmd.size() != kResetSize) return Answer(kSwWrongLength);
      if (p1 == kP1Reader) {
        if (card && card_powered) {
          QueueJobLocked(CardJob{CardJob::Kind::kPowerOff, 0, 0, card, {}, 0, nullptr});
        }
        card_powered = false;
        selected_protocol = 0;
        return Answer(kSwReaderOk);
      }
      if (p1 != kP1Slot1) return Answer(kSwIncorrectP1P2);
      if (!card) return Answer(kSwNoCard);
      card_powered = false;
      selected_protocol = 0;
      std::shared_ptr<Card> target = card;
      CardJob job{CardJob::Kind::kPowerOn, 0, 0, card, {}, 0, nullptr};
      job.done = [this, target](std::optional<std::vector<uint8_t>> atr, uint32_t protocols) {
        if (card != target) {  // taken out while it was being reset
          DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwNoCard));
          return;
        }
        if (!atr) {
          DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwCardMute));
          return;
        }
        if (atr->empty()) {  // in the slot, but not a card the reader can use
          DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwReaderOk));
          return;
        }
        card_powered = true;
        card_protocols = protocols;
        DeliverAnswerLocked(t1::kNadReaderToHost, Answer(*atr, kSwCardReset));
      };
      QueueJobLocked(std::move(job));
      return std::nullopt;
    }
    default:
      return Answer(kSwInsNotSupported);
  }
}

std::vector<uint8_t> Reader::Firmware::SetParametersLocked(const std::vector<uint8_t>& cmd) {
  if (cmd.size() < kSetParametersHeader) return Answer(kSwWrongLength);
  size_t lc = cmd[4];
  // An Le byte after the data is tolerated.
  if (cmd.size() != kSetParametersHeader + lc && cmd.size() != kSetParametersHeader + lc + 1) {
    return Answer(kSwWrongLength);
  }
  std::optional<uint8_t> rate_code, protocol_code;
  size_t end = kSetParametersHeader + lc;
  for (size_t i = kSetParametersHeader; i < end;) {
    if (i + kTlvHeader > end) return Answer(kSwWrongLength);
    uint8_t tag = cmd[i], len = cmd[i + 1];
    if (i + kTlvHeader + len > end) return Answer(kSwWrongLength);
    if (len >= 1 && tag == kTagRateCode) rate_code = cmd[i + kTlvHeader];
    if (len >= 1 && tag == kTagProtocol) protocol_code = cmd[i + kTlvHeader];
    i += kTlvHeader + len;
  }
  uint16_t sw = kSwReaderOk;
  if (protocol_code) {
    uint32_t wanted = *protocol_code == kProtocolCodeT0   ? kProtocolT0
                      : *protocol_code == kProtocolCodeT1 ? kProtocolT1
                                                          : 0;
    if (!card || !card_powered) return Answer(kSwNoCard);
    if (!wanted || !(card_protocols & wanted)) return Answer(kSwProtocolNotSupported);
    selected_protocol = wanted;
    QueueJobLocked(CardJob{CardJob::Kind::kSelectProtocol, 0, 0, card, {}, wanted, nullptr});
    sw = options.protocol_accepted_sw;
  }
  if (rate_code) {
    if (*rate_code >= kRateByCode.size() || !(options.rate_codes_accepted & (1u << *rate_code))) {
      return Answer(kSwRateRefused);
    }
    rate_after_answer = kRateByCode[*rate_code];
  }
  return Answer(sw);
}

}  // namespace sim
