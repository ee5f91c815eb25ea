// The reader's firmware, on the reader end of the serial line.
//
// Power follows DTR: while DTR is low the reader is off and answers nothing; when DTR rises it
// boots after boot_time with its link reset (sequence numbers 0, IFSD 32, its IFSC as
// configured) and its line at 9600 8E1 (its clock off by clock_error_ppm); a card in the slot is
// then unpowered. A reader with its own supply rides through DTR drops shorter than dtr_holdup.
//
// The link is ISO 7816-3 T=1 in the reader's role. Node addresses: host 2, reader 1, card 0.
// I-blocks with NAD 0x12 are reader commands (answered with NAD 0x21, see reader_protocol.h),
// those with NAD 0x02 go to the card (answered with NAD 0x20, or 0x21 when the reader answers
// for a missing or mute card); R- and S-blocks carry NAD 0, or 0x21 from a reader that addresses
// them. Every block's LRC is checked, and its characters' parity as `parity` says; damaged blocks
// get R(EDC error), unacceptable ones R(other error). Chaining works both ways within the sizes
// in force: the host's IFSD (set by its S(IFS request)) and the reader's own block sizes for what
// the reader sends, the reader's IFSC for what it takes. S(RESYNCH) resets the link, both sizes
// included. While the card works longer than wtx_after, the reader asks the host for more time
// with S(WTX request). A pause longer than the character waiting time inside a block discards
// the partial block. A script (reader_script.h) adds S-requests, restarts, card removals and the
// reader's own answers at chosen blocks of chosen card commands.
//
// Timing: the reader answers after a turnaround, may pause between the characters of a block,
// and loses host characters that arrive while it sends or within its guard time after; the card
// takes its own processing time plus card_time_base plus card_byte_time per byte exchanged.
// Random draws (turnarounds, pauses, WTX jitter) come from `seed`, so a seed replays a run.
//
// Contexts: the firmware runs in device events (line callbacks and its own timers); card calls
// run on its card worker, a daemon host thread, so a card may block. Public methods may be
// called from any thread of the machine. Create the reader inside the running machine.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/kernel/ticks.h"
#include "sim/cards/card.h"
#include "sim/reader_script.h"
#include "sim/serial_line.h"

namespace sim {

// One byte between reader and card at `rate` bit/s: 12 etu (start bit, 8 data bits, parity and
// the guard time of 2 etu).
constexpr int kCardEtuPerByte = 12;
constexpr host::kernel::Ticks CardByteTime(uint32_t rate) {
  return host::kernel::Ticks(kCardEtuPerByte * host::kernel::kTicksPerSecond / rate);
}

struct ReaderOptions {
  host::kernel::Ticks boot_time = host::kernel::Milliseconds(100);
  uint8_t ifsc = 254;  // the largest INF the reader takes in one block
  host::kernel::Ticks char_waiting_time = host::kernel::Milliseconds(100);
  // How long the reader waits for the host's next block inside a chain before it drops the
  // chain; 0: as long as it takes (ISO 7816-3 gives it no such limit).
  host::kernel::Ticks block_waiting_time = 0;
  host::kernel::Ticks command_time = host::kernel::Milliseconds(1);  // reader commands
  host::kernel::Ticks card_timeout = host::kernel::Seconds(20);      // then 64 A0
  bool wtx_enabled = true;
  host::kernel::Ticks wtx_after = host::kernel::Seconds(4);
  uint8_t wtx_multiplier = 2;
  uint16_t protocol_accepted_sw = 0x9000;  // 0x6A80 for readers that answer so
  uint8_t rate_codes_accepted = 0x3F;      // bit n: rate code n

  // Its link habits.
  bool addressed_control_blocks = false;  // R- and S-blocks with NAD 0x21 instead of 0
  // Its own chaining sizes for answers, taken in turn (each at most the IFSD); none: the IFSD.
  std::vector<uint8_t> answer_block_sizes;

  // Timing.
  host::kernel::Ticks turnaround_min = 0;  // before each block it sends, drawn in [min, max]
  host::kernel::Ticks turnaround_max = 0;
  host::kernel::Ticks character_gap_max = 0;  // before each further character, drawn in [0, max]
  // Host characters that arrive while it sends or this soon after its last character are lost.
  host::kernel::Ticks guard_time = 0;
  host::kernel::Ticks card_time_base = 0;  // added to every card command's own time
  host::kernel::Ticks card_byte_time = 0;  // per byte of command and answer at the card's rate
  host::kernel::Ticks wtx_jitter = 0;      // each WTX request comes up to this much early or late
  int32_t clock_error_ppm = 0;             // its line rate off by this (+2331: 9622 for 9600)

  // Errors.
  CharacterErrors parity = CharacterErrors::kFlag;  // characters with parity or framing errors
  // After this many bad blocks in a row (damaged, unacceptable, or asking it to send again) it
  // answers nothing but S(RESYNCH request); 0: no limit.
  int max_bad_blocks = 0;
  bool deaf_while_card_works = false;  // hears nothing while a card call is in progress
  // A card pulled out is deactivated on the switch: a command in progress is answered 64 A1 at
  // once (in place of an acknowledgement or an answer block in the middle of a chain too), and
  // the card's own answer never comes. Otherwise a command in progress still ends normally.
  bool removal_acts_at_once = false;
  host::kernel::Ticks dtr_holdup = 0;  // its own supply rides through DTR drops this short
  uint64_t seed = 1;
};

struct ReaderStats {
  uint64_t boots = 0;
  uint64_t blocks_received = 0;
  uint64_t blocks_sent = 0;
  uint64_t damaged_blocks = 0;      // LRC, parity or framing errors
  uint64_t invalid_blocks = 0;      // intact but not acceptable
  uint64_t discarded_partials = 0;  // cut short by the character waiting time
  uint64_t resends = 0;
  uint64_t resynchs = 0;
  uint64_t wtx_requests = 0;
  uint64_t card_commands = 0;
  uint64_t reader_commands = 0;
  uint64_t restarts = 0;
  uint64_t lost_characters = 0;  // in its guard time, deaf, or dropped for their errors
  uint64_t mute_periods = 0;     // times it stopped answering until S(RESYNCH)
};

class Reader {
 public:
  Reader(SerialLine& line, ReaderOptions options = {});
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The card slot. A card that is in starts unpowered; a reset powers it.
  void InsertCard(std::shared_ptr<Card> card);
  void RemoveCard();
  void InsertCardAt(host::kernel::Ticks when, std::shared_ptr<Card> card);
  void RemoveCardAt(host::kernel::Ticks when);
  bool card_present() const;
  bool card_powered() const;

  // Reader-initiated S-blocks, each once, at the next occasion:
  void RequestIfsBeforeNextAnswer(uint8_t size);     // S(IFS request) before the next answer
  void SendWtxBeforeNextAnswer(uint8_t multiplier);  // S(WTX request) before the next answer
  void AbortNextHostChain();  // S(ABORT request) instead of acknowledging a chained command
  // S(IFS request) instead of acknowledging a chained command; once the host has answered it the
  // reader takes blocks of the new size and acknowledges the block in flight.
  void RequestIfsInNextHostChain(uint8_t size);
  void AbortNextAnswerChain();  // S(ABORT request) after the host acknowledges an answer block
  // Steps at chosen blocks of chosen card commands, counted from the next one; added to those
  // still waiting.
  void Script(std::vector<ScriptStep> steps);
  // The scripted steps that have not struck yet, their exchanges counted from the first card
  // command (as card_commands_started() counts them), so that a tool can say which never came.
  std::vector<ScriptStep> WaitingScript() const;
  uint64_t card_commands_started() const;
  // A watchdog or brown-out restart at `when` (when it is booted then).
  void RestartAt(host::kernel::Ticks when);
  // A reader that answers late: the nth block it sends from now (1 = the next) starts `delay`
  // later than its turnaround alone would let it (when nothing else is being sent then).
  void DelayBlock(int nth, host::kernel::Ticks delay);

  bool booted() const;
  uint8_t ifsd() const;  // the host's announced receive size
  uint8_t ifsc() const;
  uint32_t selected_protocol() const;  // kProtocolT0 / kProtocolT1, 0 before a selection
  ReaderStats stats() const;

  struct Firmware;

 private:
  std::shared_ptr<Firmware> firmware_;
};

}  // namespace sim
