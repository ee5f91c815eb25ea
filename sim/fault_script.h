// A script of what befalls a session, in text form for command lines: items separated by ';'.
//
// At a block of the n-th card command (counted from the session's start):
//   <n>:h<k>:<action>[,<action>...]  in place of the reader's reply to the host's k-th block
//   <n>:a<j>:<action>[,<action>...]  once the host has acknowledged the answer's j-th block
//   actions: wtx=<m>  ifs=<size>  abort  restart  remove  sw=<XXXX> (the reader answers itself)
//   "2:h2:wtx=1"  WTX 1 in place of the 2nd acknowledgement of the 2nd card command
//   "1:a1:ifs=16" IFS 16 after the 1st answer block;  "1:h1:wtx=1,ifs=64,wtx=2" three in a row
//
// At a virtual time since the machine started (durations as "250ms", "1.5s"):
//   @<time>:restart               the reader restarts (watchdog, brown-out)
//   @<time>:remove | insert       the card is pulled out / put back
//   @<time>:dtr-drop=<duration>   DTR drops that long as the reader sees it
//   @<time>:silence=<duration>    the reader's characters are lost that long
//   @<time>:noise=<duration>/<n>  about n phantom start bits a second while the line idles
//   @<time>:burst=<duration>/<r>  bits inverted with chance r that long
//   @<time>:break=<duration>      the line held at space that long
//   @<time>:inject=<XX>[!]        the byte XX put on the line, with a bad parity bit after '!'
//   @<time>:echo=<duration>       the host's own characters come back to it that long
// Line faults act on the line toward the host unless the item ends in ">reader" (noise, burst,
// break, inject); echo and dtr-drop are the host's side's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "sim/cards/card.h"
#include "sim/reader.h"
#include "sim/reader_script.h"
#include "sim/serial_line.h"

namespace sim {

struct TimedFault {
  enum class Kind : uint8_t {
    kRestart,
    kRemove,
    kInsert,
    kDtrDrop,
    kSilence,
    kNoise,
    kBurst,
    kBreak,
    kInject,
    kEcho
  };
  Kind kind = Kind::kRestart;
  host::kernel::Ticks at = 0;
  host::kernel::Ticks duration = 0;
  double amount = 0;  // noise: phantom start bits a second; burst: bit error rate
  uint8_t value = 0;  // inject
  bool bad_parity = false;
  bool toward_reader = false;
};

struct FaultScript {
  std::vector<ScriptStep> steps;  // exchanges counted from the session's first card command
  std::vector<TimedFault> timed;
  bool empty() const { return steps.empty() && timed.empty(); }
};

// Adds the items of `text` to *script; on failure *error holds one line.
bool ParseFaultScript(const std::string& text, FaultScript* script, std::string* error);

// An item as ParseFaultScript reads it back: "1:a1:wtx=1", "@2.5s:remove", "@1s:noise=2s/50".
std::string FaultItemText(const ScriptStep& step);
std::string FaultItemText(const TimedFault& fault);

// Puts the script to work on a reader and its line; `card` is what "insert" puts back. Call it
// inside the running machine before the session's first command.
void ApplyFaultScript(const FaultScript& script, SerialLine& line, Reader& reader,
                      std::shared_ptr<Card> card);

}  // namespace sim
