#include "tools/fault_matrix/session_plan.h"

#include <algorithm>

#include "host/io/io_manager.h"
#include "host/machine/machine.h"
#include "sim/cards/builtin_card.h"
#include "sim/t1_block.h"

namespace fault_matrix {

namespace {

using host::kernel::Ticks;
using host::machine::OutputUlong;
using Kind = SessionStep::Kind;

constexpr uint8_t kSw1Ok = 0x90;
constexpr uint8_t kSw2Ok = 0x00;
constexpr uint8_t kSw1WrongData = 0x6A;
constexpr uint8_t kSw2WrongData = 0x80;
constexpr size_t kLongestAnswer = 256;  // what fits the answer buffer with the status word
constexpr size_t kShortestLongCommand = 60;
constexpr size_t kLongestCommandData = 255;
constexpr int kFewestCommands = 3;
constexpr int kMostCommands = 6;

SessionStep Step(Kind kind) { return SessionStep{kind, {}, {}}; }

SessionStep SelectMf() {
  return {Kind::kTransmit,
          {sim::kClaIso, sim::kInsSelect, sim::kSelectByFileId, sim::kSelectNoResponse, 2,
           uint8_t(sim::kFileIdMf >> 8), uint8_t(sim::kFileIdMf)},
          {kSw1Ok, kSw2Ok}};
}

// READ PATTERN: n bytes of i mod 256, then 90 00.
SessionStep ReadPattern(size_t n) {
  SessionStep s{Kind::kTransmit,
                {sim::kClaProprietary, sim::kInsReadPattern, uint8_t(n >> 8), uint8_t(n)},
                {}};
  for (size_t i = 0; i < n; ++i) s.answer.push_back(uint8_t(i));
  s.answer.insert(s.answer.end(), {kSw1Ok, kSw2Ok});
  return s;
}

// WRITE PATTERN with n data bytes: 90 00 when they are the pattern, 6A 80 when one is not.
SessionStep WritePattern(size_t n, bool spoilt) {
  SessionStep s{Kind::kTransmit,
                {sim::kClaProprietary, sim::kInsWritePattern, 0, 0, uint8_t(n)},
                {kSw1Ok, kSw2Ok}};
  for (size_t i = 0; i < n; ++i) s.command.push_back(uint8_t(i));
  if (spoilt) {
    s.command.back() ^= 0xFF;
    s.answer = {kSw1WrongData, kSw2WrongData};
  }
  return s;
}

// What a successful request must have brought back.
bool AnswerCorrect(const SessionStep& step, const host::io::IoResult& result) {
  switch (step.kind) {
    case Kind::kGetState: {
      std::optional<ULONG> state = OutputUlong(result);
      return state && *state >= SCARD_ABSENT && *state <= SCARD_SPECIFIC;
    }
    case Kind::kColdReset:
      return result.output == sim::BuiltinCard::DualProtocolAtr();
    case Kind::kSetProtocol:
      return OutputUlong(result) == ULONG(SCARD_PROTOCOL_T1);
    case Kind::kTransmit:
      return result.output == step.answer;
    default:
      return true;
  }
}

std::string Describe(const SessionStep& step, const host::io::IoResult& result) {
  std::string text = StepName(step) + ": " + host::io::StatusName(result.status);
  if (!result.output.empty()) {
    std::string hex = sim::t1::Hex(result.output);
    text += ", " + std::to_string(result.output.size()) + " bytes " + hex.substr(0, 48);
  }
  return text;
}

// Where a card's answer differs from what it must be.
std::string Difference(const SessionStep& step, const host::io::IoResult& result) {
  const Bytes& got = result.output;
  size_t n = std::min(got.size(), step.answer.size()), i = 0;
  while (i < n && got[i] == step.answer[i]) ++i;
  if (i == n && got.size() == step.answer.size()) return "";
  std::string text = " (expected " + std::to_string(step.answer.size()) +
                     " bytes, first difference at " + std::to_string(i);
  if (i < n)
    text +=
        ": " + sim::t1::Hex(std::span<const uint8_t>(got.data() + i, std::min<size_t>(8, n - i)));
  return text + ")";
}

}  // namespace

std::string StepName(const SessionStep& step) {
  switch (step.kind) {
    case Kind::kOpen:
      return "open";
    case Kind::kGetState:
      return "card state";
    case Kind::kColdReset:
      return "cold reset";
    case Kind::kSetProtocol:
      return "T=1";
    case Kind::kTransmit: {
      std::span<const uint8_t> head(step.command.data(), std::min<size_t>(step.command.size(), 5));
      return "transmit " + sim::t1::Hex(head) + (step.command.size() > 5 ? " ..." : "");
    }
    case Kind::kClose:
      return "close";
  }
  return "?";
}

std::vector<SessionStep> PlanSession(std::mt19937_64& rng) {
  std::vector<SessionStep> plan = {Step(Kind::kOpen), Step(Kind::kGetState), Step(Kind::kColdReset),
                                   Step(Kind::kSetProtocol)};
  int commands = kFewestCommands + int(rng() % (kMostCommands - kFewestCommands + 1));
  for (int i = 0; i < commands; ++i) {
    switch (rng() % 5) {
      case 0:
        plan.push_back(SelectMf());
        break;
      case 1:
        plan.push_back(ReadPattern(rng() % (kLongestAnswer + 1)));
        break;
      case 2:
        plan.push_back(ReadPattern(kLongestAnswer));
        break;
      case 3:
        plan.push_back(WritePattern(
            kShortestLongCommand + rng() % (kLongestCommandData - kShortestLongCommand + 1),
            rng() % 4 == 0));
        break;
      default:
        plan.push_back(Step(Kind::kGetState));
        break;
    }
  }
  plan.push_back(Step(Kind::kClose));
  return plan;
}

std::vector<SessionStep> CleanSession() {
  return {Step(Kind::kOpen),
          Step(Kind::kGetState),
          Step(Kind::kColdReset),
          Step(Kind::kSetProtocol),
          SelectMf(),
          ReadPattern(kLongestAnswer),
          WritePattern(kLongestCommandData, false),
          WritePattern(kShortestLongCommand, true),
          Step(Kind::kClose)};
}

SessionTally RunSession(host::machine::Machine& machine, const std::u16string& device,
                        const std::vector<SessionStep>& plan, Ticks bound,
                        const SessionHooks& hooks, RecordingCard* card) {
  SessionTally tally;
  host::machine::ReaderHandle reader(machine);
  for (size_t i = 0; i < plan.size(); ++i) {
    const SessionStep& step = plan[i];
    if (hooks.before) hooks.before(i, step);
    Ticks start = machine.Now();
    size_t card_exchanges = card ? card->exchanges() : 0;
    host::io::IoResult result;
    switch (step.kind) {
      case Kind::kOpen:
        result.status = reader.Open(device);
        break;
      case Kind::kGetState:
        result = reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
        break;
      case Kind::kColdReset:
        result = reader.Power(SCARD_COLD_RESET);
        break;
      case Kind::kSetProtocol:
        result = reader.SetProtocol(SCARD_PROTOCOL_T1);
        break;
      case Kind::kTransmit:
        result = reader.Transmit(step.command);
        break;
      case Kind::kClose:
        result.status = reader.Close();
        break;
    }
    Ticks took = machine.Now() - start;
    tally.log.push_back(Describe(step, result) + " (" +
                        std::to_string(took / host::kernel::Milliseconds(1)) + " ms)");
    tally.slowest = std::max(tally.slowest, took);
    if (took > bound) {
      ++tally.late;
      if (tally.first_problem.empty()) {
        tally.first_problem = Describe(step, result) + " after " +
                              std::to_string(took / host::kernel::Milliseconds(1)) + " ms";
      }
    } else if (!NT_SUCCESS(result.status)) {
      ++tally.failed;
    } else if (AnswerCorrect(step, result)) {
      ++tally.correct;
    } else if (step.kind == Kind::kTransmit && card &&
               card->AnsweredAnotherCommand(card_exchanges, step.command, result.output)) {
      ++tally.correct;
      ++tally.damaged_commands;
    } else {
      ++tally.corrupted;
      if (tally.first_problem.empty()) {
        tally.first_problem = "corrupted " + Describe(step, result) + Difference(step, result);
      }
    }
    // Nothing more to ask without a handle.
    if (step.kind == Kind::kOpen && !reader.is_open()) break;
  }
  return tally;
}

}  // namespace fault_matrix
