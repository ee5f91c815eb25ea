// The reader firmware's state and steps, shared by reader.cpp (power, slot, public methods),
// reader_link.cpp (blocks received), reader_replies.cpp (what the reader sends back: S-requests,
// scripted steps, answers, WTX), reader_transmitter.cpp (the pace of what it sends),
// reader_commands.cpp (the reader's command set) and reader_card_worker.cpp (card calls).
// Private to sim/.
//
// Locking: `mu` guards every field; device events and public methods take it; it is never held
// while a card is called or while the worker waits. Lock order: mu before the line's lock
// (the line never calls back while holding its own).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "platform/ke.h"
#include "sim/reader.h"
#include "sim/t1_block.h"

namespace sim {

struct Reader::Firmware : std::enable_shared_from_this<Reader::Firmware> {
  Firmware(SerialLine& line, ReaderOptions options);

  // What the link is doing.
  enum class Phase {
    kIdle,            // waiting for a command (or an R-block asking for the last answer again)
    kReceivingChain,  // the host is sending a chained command
    kBusy,            // a command is being carried out
    kSendingChain,    // the reader is sending a chained answer
    kAwaitingS,       // the reader sent an S request and waits for its response
  };
  // What the reader's S request waits for: a WTX while the card works (the card's answer may come
  // meanwhile), or the first of a queue of requests that something else follows.
  enum class Pending { kNone, kWtx, kQueue };
  // What the reader does once its queued S requests are answered.
  enum class Then {
    kAcknowledge,      // acknowledge the host's chained block
    kExecute,          // carry out the command the host's last block completed
    kAnswer,           // send the answer from its first block
    kNextAnswerBlock,  // send the answer's next block
  };
  struct SRequest {
    t1::SKind kind;
    uint8_t value;  // IFS size or WTX multiplier
  };

  // A card call for the worker.
  struct CardJob {
    enum class Kind { kPowerOn, kPowerOff, kTransmit, kSelectProtocol } kind;
    uint64_t epoch = 0;        // power_epoch at the time of the request
    uint64_t command_seq = 0;  // at that time: an answer for an earlier command drops
    std::shared_ptr<Card> card;
    std::vector<uint8_t> command;
    uint32_t protocol = 0;
    // Runs under mu in a device event with the card's answer; nullopt when the card was mute.
    std::function<void(std::optional<std::vector<uint8_t>>, uint32_t protocols)> done;
  };

  SerialLine& line;
  host::kernel::Kernel& kernel;
  ReaderOptions options;
  mutable std::mutex mu;
  bool closed = false;
  std::mt19937_64 rng;  // turnarounds, character gaps, WTX jitter

  // Power
  bool dtr = false;
  bool powered = false;  // booting or booted
  bool booted = false;
  uint64_t power_epoch = 0;  // bumps on every power change and link reset: stale events drop
  uint64_t modem_changes = 0;

  // Slot
  std::shared_ptr<Card> card;
  bool card_powered = false;
  uint32_t card_protocols = 0;
  uint32_t selected_protocol = 0;

  // Link
  Phase phase = Phase::kIdle;
  Pending pending = Pending::kNone;
  uint8_t host_ns = 0;    // N(S) expected in the host's next I-block
  uint8_t reader_ns = 0;  // N(S) of the reader's next I-block
  uint8_t ifsd = t1::kDefaultIfs;
  uint8_t ifsc = 0;
  std::vector<uint8_t> rx;  // characters of the block coming in
  bool rx_damaged = false;
  host::kernel::Ticks rx_last = 0;
  int bad_blocks = 0;  // in a row
  bool mute = false;   // answers nothing but S(RESYNCH request)
  std::vector<uint8_t> last_sent;
  std::vector<uint8_t> last_i_block;
  uint8_t last_i_ns = 0;
  host::kernel::Ticks last_sent_time = 0;
  host::kernel::EventId wtx_timer = 0;
  uint32_t rate_after_answer = 0;

  // The command in progress
  uint64_t command_seq = 0;  // bumps with every command: answers of an earlier one drop
  std::vector<uint8_t> command;
  uint8_t command_nad = 0;
  uint64_t exchange = 0;  // its number among the card commands, 0 for a reader command
  int host_blocks = 0;    // host I-blocks of it taken so far
  int answer_acked = 0;   // answer blocks of it the host has acknowledged
  int card_calls = 0;     // card calls whose answer the reader waits for
  std::vector<uint8_t> answer;
  uint8_t answer_nad = 0;
  size_t answer_sent = 0;
  size_t answer_blocks_sent = 0;
  bool answer_ready = false;  // an answer arrived while a WTX exchange was going on
  std::deque<SRequest> s_queue;
  Then s_then = Then::kAcknowledge;
  std::optional<uint16_t> reader_answer;  // the reader answers this itself once it may

  // Script
  uint8_t script_ifs = 0;
  uint8_t script_ifs_in_host_chain = 0;
  uint8_t script_wtx = 0;
  bool script_abort_host_chain = false;
  bool script_abort_answer_chain = false;
  std::vector<ScriptStep> script;  // their exchanges counted like `exchange`
  uint64_t card_commands_started = 0;

  // Transmitter
  std::deque<uint8_t> tx_queue;                       // characters waiting for their time
  bool tx_paced = false;                              // a block is being paced out
  host::kernel::Ticks tx_idle_at = 0;                 // when its last character ended
  std::vector<std::function<void()>> tx_after_paced;  // run once the paced block has gone
  int late_block = 0;                                 // blocks until the late one, 0: none
  host::kernel::Ticks late_by = 0;

  ReaderStats stats;

  // Card worker
  std::deque<CardJob> jobs;
  KEVENT jobs_event;  // synchronization event: a job was queued or the reader closes
  bool worker_started = false;

  // --- reader.cpp ---
  void Start();
  void Close();
  // Runs fn under mu at `when` in a device event, unless the power epoch changed meanwhile.
  void At(host::kernel::Ticks when, std::function<void(Firmware&)> fn, bool keep_epoch = true);
  void OnModem(bool dtr_on);
  void BootLocked();
  void PowerDownLocked();
  void RestartLocked();
  void ResetLinkLocked();
  // A new epoch: events scheduled before it drop, and so does what was waiting to be sent.
  void NewEpochLocked();
  void InsertCardLocked(std::shared_ptr<Card> new_card);
  uint32_t ReaderRate(uint32_t nominal) const;  // with its clock error
  host::kernel::Ticks Draw(host::kernel::Ticks low, host::kernel::Ticks high);

  // --- reader_link.cpp ---
  void OnCharacter(const ReceivedCharacter& ch);
  void HandleBlockLocked(std::vector<uint8_t> bytes, bool damaged);
  void HandleSLocked(const t1::Block& b);
  void HandleSResponseLocked(const t1::Block& b);
  void HandleRLocked(const t1::Block& b);
  void HandleILocked(const t1::Block& b);
  // One more bad block in a row; true when the reader now stays silent.
  bool BadBlockLocked();
  void RespondErrorLocked(t1::RCode code);

  // --- reader_replies.cpp ---
  void SendLocked(const t1::Block& b);
  void ResendLocked(const std::vector<uint8_t>& bytes);
  // Runs what is scripted at this point of the command in progress, with the one-shot requests
  // already queued; true when that took over the reply `then` would have been.
  bool ReplyAtPointLocked(ExchangePoint point, Then then);
  void SendQueuedLocked(Then then);
  void ContinueLocked(Then then);
  // The reader gives up the command in progress and answers `sw` itself.
  void AnswerFromReaderLocked(uint16_t sw);
  void ExecuteLocked();
  // Answers the command now being carried out; dropped when the link moved on meanwhile.
  void DeliverAnswerLocked(uint8_t nad, std::vector<uint8_t> bytes);
  void StartAnswerLocked();
  void SendNextAnswerBlockLocked();
  void ArmWtxLocked(host::kernel::Ticks after);
  void CancelWtxLocked();
  void CardPulledLocked();

  // --- reader_transmitter.cpp ---
  void TransmitLocked(const std::vector<uint8_t>& bytes);
  void PaceLocked();
  void NoteTransmitterIdleLocked();
  // fn runs (device event, without mu) once everything handed to the transmitter has gone.
  void WhenAllSentLocked(std::function<void()> fn);
  // Whether a host character that arrived at `arrival` fell into the reader's own sending or
  // its guard time after.
  bool InGuardTimeLocked(host::kernel::Ticks arrival) const;

  // --- reader_commands.cpp ---
  // The answer to a reader command, or nullopt when a card job will answer it.
  std::optional<std::vector<uint8_t>> ReaderCommandLocked(const std::vector<uint8_t>& cmd);
  std::vector<uint8_t> SetParametersLocked(const std::vector<uint8_t>& cmd);
  uint8_t StatusByteLocked() const;

  // --- reader_card_worker.cpp ---
  void QueueJobLocked(CardJob job);
  void WorkerLoop();
};

}  // namespace sim
