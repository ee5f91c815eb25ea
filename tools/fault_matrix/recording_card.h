// The built-in card with a record of what it was sent and what it answered: when line damage
// changes a command on its way to the card, the card's answer to what it received is what the
// application must get back, not the answer to the command it meant.
//
// The reader calls the card from its card worker thread, one call at a time; the session reads
// the record between its requests, while the card is idle.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "sim/cards/builtin_card.h"

namespace fault_matrix {

class RecordingCard : public sim::Card {
 public:
  using Bytes = std::vector<uint8_t>;
  explicit RecordingCard(sim::BuiltinCardOptions options) : card_(options) {}

  Bytes PowerOn() override { return card_.PowerOn(); }
  void PowerOff() override { card_.PowerOff(); }
  Bytes Transmit(std::span<const uint8_t> command) override {
    Bytes answer = card_.Transmit(command);
    std::lock_guard lock(mu_);
    exchanges_.emplace_back(Bytes(command.begin(), command.end()), answer);
    return answer;
  }
  host::kernel::Ticks ProcessingTime(std::span<const uint8_t> command) override {
    return card_.ProcessingTime(command);
  }
  uint32_t SupportedProtocols() override { return card_.SupportedProtocols(); }

  size_t exchanges() {
    std::lock_guard lock(mu_);
    return exchanges_.size();
  }
  // Whether, since exchange `from`, the card answered `answer` to a command other than `meant`.
  bool AnsweredAnotherCommand(size_t from, const Bytes& meant, const Bytes& answer) {
    std::lock_guard lock(mu_);
    for (size_t i = from; i < exchanges_.size(); ++i) {
      if (exchanges_[i].first != meant && exchanges_[i].second == answer) return true;
    }
    return false;
  }

 private:
  sim::BuiltinCard card_;
  std::mutex mu_;
  std::vector<std::pair<Bytes, Bytes>> exchanges_;
};

}  // namespace fault_matrix
