// The reader's firmware, on the reader end of the serial line.
//
// Power follows DTR: while DTR is low the reader is off and answers nothing; when DTR rises it
// boots after boot_time with its link reset (sequence numbers 0, IFSD 32, its IFSC as
// configured) and its line at 9600 8E1; a card in the slot is then unpowered.
//
// The link is ISO 7816-3 T=1 in the reader's role. Node addresses: host 2, reader 1, card 0.
// I-blocks with NAD 0x12 are reader commands (answered with NAD 0x21, see reader_protocol.h),
// those with NAD 0x02 go to the card (answered with NAD 0x20, or 0x21 when the reader answers
// for a missing or mute card); R- and S-blocks carry NAD 0. Every block's LRC and parity are
// checked; damaged blocks get R(EDC error), unacceptable ones R(other error). Chaining works
// both ways within the sizes in force: the host's IFSD (set by its S(IFS request)) for what
// the reader sends, the reader's IFSC for what it takes. S(RESYNCH) resets the link. While the
// card works longer than wtx_after, the reader asks the host for more time with S(WTX request).
// A pause longer than the character waiting time inside a block discards the partial block.
//
// Contexts: the firmware runs in device events (line callbacks and its own timers); card calls
// run on its card worker, a daemon host thread, so a card may block. Public methods may be
// called from any thread of the machine. Create the reader inside the running machine.
#pragma once

#include <cstdint>
#include <memory>

#include "host/kernel/ticks.h"
#include "sim/cards/card.h"
#include "sim/serial_line.h"

namespace sim {

struct ReaderOptions {
  host::kernel::Ticks boot_time = host::kernel::Milliseconds(100);
  uint8_t ifsc = 254;  // the largest INF the reader takes in one block
  host::kernel::Ticks char_waiting_time = host::kernel::Milliseconds(100);
  // How long the reader waits for the host's next block inside a chain before it drops the chain.
  host::kernel::Ticks block_waiting_time = host::kernel::Seconds(10);
  host::kernel::Ticks command_time = host::kernel::Milliseconds(1);  // reader commands
  host::kernel::Ticks card_timeout = host::kernel::Seconds(20);      // then 64 A0
  bool wtx_enabled = true;
  host::kernel::Ticks wtx_after = host::kernel::Seconds(4);
  uint8_t wtx_multiplier = 2;
  uint16_t protocol_accepted_sw = 0x9000;  // 0x6A80 for readers that answer so
  uint8_t rate_codes_accepted = 0x3F;      // bit n: rate code n
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
