// What an application does in one card session, request by request, and what must come back
// when a request succeeds: the card's own answer, byte for byte (the built-in card answers every
// command the plan sends the same way each time), the card's ATR, the protocol asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "host/io/application.h"
#include "host/kernel/ticks.h"
#include "host/machine/reader_handle.h"
#include "tools/fault_matrix/recording_card.h"

namespace fault_matrix {

using Bytes = std::vector<uint8_t>;

struct SessionStep {
  enum class Kind : uint8_t { kOpen, kGetState, kColdReset, kSetProtocol, kTransmit, kClose };
  Kind kind = Kind::kOpen;
  Bytes command;  // kTransmit: the APDU
  Bytes answer;   // kTransmit: the card's answer
};

// "transmit 80 F0 01 00", "cold reset", ...
std::string StepName(const SessionStep& step);

// A session with the card's commands drawn from rng: open, card state, cold reset, T=1, then
// three to six commands (short and long answers, long commands, an error status word) with a
// card state now and then between them, and close.
std::vector<SessionStep> PlanSession(std::mt19937_64& rng);

// The session that must go through once a fault has ended: open, card state, cold reset, T=1,
// a short command, a long answer, a long command, an error status word, close.
std::vector<SessionStep> CleanSession();

// What became of one session's requests.
struct SessionTally {
  int correct = 0;    // succeeded with what they must bring back
  int failed = 0;     // failed with a status
  int corrupted = 0;  // succeeded with something else
  int late = 0;       // completed after their bound
  // Of the correct ones: brought back the card's answer to a command that line damage changed on
  // its way to the card (what the card sent, so no corruption of the driver's).
  int damaged_commands = 0;
  host::kernel::Ticks slowest = 0;
  std::string first_problem;     // the first corrupted or late request, for the report
  std::vector<std::string> log;  // each request and what came of it
  bool all_correct() const { return failed == 0 && corrupted == 0 && late == 0; }
};

struct SessionHooks {
  // Called before each request with its index in the plan (the fault may wait for one).
  std::function<void(size_t index, const SessionStep& step)> before;
};

// Runs the plan through an application handle on `device`: every request is made even after
// others failed (once the open has gone through), the handle is closed at the end whatever
// happened. Each request must complete within `bound` of virtual time.
// `card`, when given, is the card in the slot, whose record tells answers to damaged commands.
SessionTally RunSession(host::machine::Machine& machine, const std::u16string& device,
                        const std::vector<SessionStep>& plan, host::kernel::Ticks bound,
                        const SessionHooks& hooks = {}, RecordingCard* card = nullptr);

}  // namespace fault_matrix
