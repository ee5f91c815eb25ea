// A card for tests that answers from a script: each expected command with its answer and the
// time the card takes. Commands are matched in order; anything else is answered 6F 00 and noted,
// or, once a standing answer is set, with that answer whatever the command.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim/cards/card.h"

namespace sim {

class ScriptedCard : public Card {
 public:
  explicit ScriptedCard(std::vector<uint8_t> atr) : atr_(std::move(atr)) {}

  // An empty answer makes the card stay silent for that command.
  void Expect(std::vector<uint8_t> command, std::vector<uint8_t> answer,
              host::kernel::Ticks delay = 0);

  void SetStandingAnswer(std::vector<uint8_t> answer);

  std::vector<uint8_t> PowerOn() override;
  void PowerOff() override {}
  std::vector<uint8_t> Transmit(std::span<const uint8_t> command) override;
  host::kernel::Ticks ProcessingTime(std::span<const uint8_t> command) override;

  // Commands that did not match the script, as hex text.
  std::vector<std::string> mismatches() const;
  size_t remaining() const;
  std::vector<uint8_t> last_command() const;

 private:
  struct Step {
    std::vector<uint8_t> command, answer;
    host::kernel::Ticks delay;
  };
  std::vector<uint8_t> atr_;
  mutable std::mutex mu_;  // tests read the results from another thread
  std::deque<Step> steps_;
  std::vector<std::string> mismatches_;
  std::vector<uint8_t> standing_answer_;  // empty: none
  std::vector<uint8_t> last_command_;
};

}  // namespace sim
