// What the simulated reader is scripted to do at chosen blocks of chosen card commands: its own
// S-requests (WTX, IFS, ABORT, several in a row), a restart, the card pulled out, or an answer of
// its own instead of the card's. A real reader's habits and accidents, replayed block by block:
//   "WTX 1 in place of the 2nd acknowledgement"  {kWtx, 1, {kHost, 2}}
//   "IFS 16 after the 1st answer block"          {kIfs, 16, {kAnswer, 1}}
//   "WTX, IFS, WTX" at one point                  three steps with the same point, in order
#pragma once

#include <cstdint>

namespace sim {

// A moment of one exchange, counted from 1.
struct ExchangePoint {
  enum class Chain : uint8_t {
    // In place of the reader's reply to the host's block-th I-block: its acknowledgement while
    // the host chains, its answer (before the command is carried out) after the last block.
    kHost,
    // Once the host has acknowledged the block-th I-block of the reader's answer, in place of
    // the next one.
    kAnswer,
  };
  Chain chain = Chain::kHost;
  int block = 1;
  bool operator==(const ExchangePoint&) const = default;
};

struct ScriptStep {
  enum class Action : uint8_t {
    kWtx,         // S(WTX request) with `value`; the reply follows the host's response
    kIfs,         // S(IFS request) with `value`; the reader takes blocks of that size from then on
    kAbort,       // S(ABORT request): ends the host's chain, or its own answer with 64 00
    kRestart,     // watchdog or brown-out: sequence numbers back to 0, card unpowered, the
                  // command and its chains lost; the reader is back after its boot time
    kRemoveCard,  // the card is pulled out (how at once it acts is ReaderOptions')
    kReaderAnswer,  // the reader answers `sw` itself, in the card's place
  };
  Action action = Action::kWtx;
  uint8_t value = 0;
  uint16_t sw = 0;
  ExchangePoint at;
  int exchange = 1;  // the card command it acts in: 1 the next one started, 2 the one after, ...
};

}  // namespace sim
