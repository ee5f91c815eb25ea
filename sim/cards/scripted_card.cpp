#include "sim/cards/scripted_card.h"

#include <algorithm>

#include "sim/cards/apdu.h"
#include "sim/t1_block.h"

namespace sim {

void ScriptedCard::Expect(std::vector<uint8_t> command, std::vector<uint8_t> answer,
                          host::kernel::Ticks delay) {
  std::lock_guard lock(mu_);
  steps_.push_back(Step{std::move(command), std::move(answer), delay});
}

void ScriptedCard::SetStandingAnswer(std::vector<uint8_t> answer) {
  std::lock_guard lock(mu_);
  standing_answer_ = std::move(answer);
}

std::vector<uint8_t> ScriptedCard::PowerOn() {
  last_atr_ = atr_;
  return atr_;
}

host::kernel::Ticks ScriptedCard::ProcessingTime(std::span<const uint8_t> command) {
  std::lock_guard lock(mu_);
  if (!steps_.empty() && std::ranges::equal(steps_.front().command, command)) {
    return steps_.front().delay;
  }
  return 0;
}

std::vector<uint8_t> ScriptedCard::Transmit(std::span<const uint8_t> command) {
  std::lock_guard lock(mu_);
  last_command_.assign(command.begin(), command.end());
  if (steps_.empty() && !standing_answer_.empty()) return standing_answer_;
  if (steps_.empty() || !std::ranges::equal(steps_.front().command, command)) {
    mismatches_.push_back(t1::Hex(command));
    return Answer(kSwNoPreciseDiagnosis);
  }
  std::vector<uint8_t> answer = std::move(steps_.front().answer);
  steps_.pop_front();
  return answer;
}

std::vector<std::string> ScriptedCard::mismatches() const {
  std::lock_guard lock(mu_);
  return mismatches_;
}

size_t ScriptedCard::remaining() const {
  std::lock_guard lock(mu_);
  return steps_.size();
}

std::vector<uint8_t> ScriptedCard::last_command() const {
  std::lock_guard lock(mu_);
  return last_command_;
}

}  // namespace sim
