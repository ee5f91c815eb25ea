// The reader firmware's state and steps, shared by reader.cpp (power, link), reader_commands.cpp
// (the reader's command set) and reader_card_worker.cpp (card calls). Private to sim/.
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
  // Why the reader sent its S request.
  enum class Pending { kNone, kWtx, kIfs, kIfsInHostChain, kAbortHostChain, kAbortAnswerChain };

  // A card call for the worker.
  struct CardJob {
    enum class Kind { kPowerOn, kPowerOff, kTransmit, kSelectProtocol } kind;
    uint64_t epoch = 0;  // power_epoch at the time of the request
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

  // Power
  bool dtr = false;
  bool booted = false;
  uint64_t power_epoch = 0;  // bumps on every power change and link reset: stale events drop

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
  uint8_t requested_ifs = 0;
  std::vector<uint8_t> rx;  // characters of the block coming in
  bool rx_damaged = false;
  host::kernel::Ticks rx_last = 0;
  std::vector<uint8_t> command;
  uint8_t command_nad = 0;
  std::vector<uint8_t> answer;
  uint8_t answer_nad = 0;
  size_t answer_sent = 0;
  bool answer_ready = false;  // an answer arrived while an S exchange was going on
  std::vector<uint8_t> last_sent;
  std::vector<uint8_t> last_i_block;
  uint8_t last_i_ns = 0;
  host::kernel::Ticks last_sent_time = 0;
  host::kernel::EventId wtx_timer = 0;
  uint32_t rate_after_answer = 0;

  // Script
  uint8_t script_ifs = 0;
  uint8_t script_ifs_in_host_chain = 0;
  uint8_t script_wtx = 0;
  bool script_abort_host_chain = false;
  bool script_abort_answer_chain = false;

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
  void ResetLinkLocked();
  void OnCharacter(const ReceivedCharacter& ch);
  void HandleBlockLocked(std::vector<uint8_t> bytes, bool damaged);
  void HandleSLocked(const t1::Block& b);
  void HandleRLocked(const t1::Block& b);
  void HandleILocked(const t1::Block& b);
  void RespondErrorLocked(t1::RCode code);
  void SendLocked(const t1::Block& b);
  void ResendLocked(const std::vector<uint8_t>& bytes);
  void SendSRequestLocked(t1::SKind kind, Pending why, std::vector<uint8_t> inf = {});
  void ExecuteLocked();
  // Answers the command now being carried out; dropped when the link moved on meanwhile.
  void DeliverAnswerLocked(uint8_t nad, std::vector<uint8_t> bytes);
  void StartAnswerLocked();
  void SendNextAnswerBlockLocked();
  void ArmWtxLocked(host::kernel::Ticks after);
  void CancelWtxLocked();
  void InsertCardLocked(std::shared_ptr<Card> new_card);

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
