// The reader firmware: power by DTR and the T=1 link in the reader's role.
#include "sim/reader.h"

#include "host/kernel/kernel.h"
#include "sim/cards/apdu.h"
#include "sim/reader_firmware.h"
#include "sim/reader_protocol.h"

namespace sim {

using host::kernel::Ticks;
using t1::Block;
using t1::BlockType;
using t1::RCode;
using t1::SKind;
using Phase = Reader::Firmware::Phase;
using Pending = Reader::Firmware::Pending;

Reader::Firmware::Firmware(SerialLine& l, ReaderOptions o)
    : line(l), kernel(l.kernel()), options(o), ifsc(o.ifsc) {
  KeInitializeEvent(&jobs_event, SynchronizationEvent, FALSE);
}

void Reader::Firmware::Start() {
  std::weak_ptr<Firmware> weak = weak_from_this();
  line.reader_end().SetReceiveCallback([weak](const ReceivedCharacter& ch) {
    if (auto self = weak.lock()) self->OnCharacter(ch);
  });
  line.SetModemCallback([weak](bool dtr_on, bool) {
    if (auto self = weak.lock()) self->OnModem(dtr_on);
  });
  std::shared_ptr<Firmware> self = shared_from_this();
  kernel.Spawn("reader card worker", [self] { self->WorkerLoop(); }, {.daemon = true});
  bool dtr_now = line.dtr();
  if (dtr_now) OnModem(true);
}

void Reader::Firmware::Close() {
  line.reader_end().SetReceiveCallback(nullptr);
  line.SetModemCallback(nullptr);
  std::lock_guard lock(mu);
  closed = true;
  jobs.clear();
  CancelWtxLocked();
  KeSetEvent(&jobs_event, 0, FALSE);
}

void Reader::Firmware::At(Ticks when, std::function<void(Firmware&)> fn, bool keep_epoch) {
  std::weak_ptr<Firmware> weak = weak_from_this();
  uint64_t epoch = power_epoch;
  kernel.ScheduleAt(when, [weak, epoch, keep_epoch, fn] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->mu);
    if (self->closed || (keep_epoch && epoch != self->power_epoch)) return;
    fn(*self);
  });
}

// --- power ---

void Reader::Firmware::OnModem(bool dtr_on) {
  std::lock_guard lock(mu);
  if (closed || dtr_on == dtr) return;
  dtr = dtr_on;
  PowerDownLocked();  // a rise restarts from off as well
  if (dtr_on) {
    At(kernel.Now() + options.boot_time, [](Firmware& fw) { fw.BootLocked(); });
  }
}

void Reader::Firmware::PowerDownLocked() {
  ++power_epoch;
  booted = false;
  CancelWtxLocked();
  line.reader_end().PurgeTransmit();
  line.SetDsr(false);
  line.SetCts(false);
  jobs.clear();
  if (card && card_powered)
    QueueJobLocked(CardJob{CardJob::Kind::kPowerOff, 0, card, {}, 0, nullptr});
  card_powered = false;
  selected_protocol = 0;
  rx.clear();
  rate_after_answer = 0;
}

void Reader::Firmware::BootLocked() {
  booted = true;
  ++stats.boots;
  line.reader_end().Configure(kLinkSettings);
  ResetLinkLocked();
  ifsc = options.ifsc;
  line.SetDsr(true);
  line.SetCts(true);
}

void Reader::Firmware::ResetLinkLocked() {
  // Anything in flight belongs to the old link.
  ++power_epoch;
  CancelWtxLocked();
  phase = Phase::kIdle;
  pending = Pending::kNone;
  host_ns = 0;
  reader_ns = 0;
  ifsd = t1::kDefaultIfs;
  command.clear();
  answer.clear();
  answer_ready = false;
  last_sent.clear();
  last_i_block.clear();
  rx.clear();
  rx_damaged = false;
}

// --- receiving ---

void Reader::Firmware::OnCharacter(const ReceivedCharacter& ch) {
  std::lock_guard lock(mu);
  if (closed || !booted) return;
  if (!rx.empty() && ch.time - rx_last > options.char_waiting_time) {
    ++stats.discarded_partials;
    rx.clear();
    rx_damaged = false;
  }
  rx.push_back(ch.value);
  rx_damaged = rx_damaged || ch.parity_error || ch.framing_error;
  rx_last = ch.time;
  if (rx.size() >= t1::kPrologueSize &&
      rx.size() == t1::kPrologueSize + rx[2] + t1::kEpilogueSize) {
    std::vector<uint8_t> block = std::move(rx);
    bool damaged = rx_damaged;
    rx.clear();
    rx_damaged = false;
    HandleBlockLocked(std::move(block), damaged);
  }
}

void Reader::Firmware::HandleBlockLocked(std::vector<uint8_t> bytes, bool damaged) {
  ++stats.blocks_received;
  bool in_exchange = phase == Phase::kReceivingChain || phase == Phase::kSendingChain ||
                     (phase == Phase::kAwaitingS && pending != Pending::kWtx);
  if (in_exchange && kernel.Now() - last_sent_time > options.block_waiting_time) {
    // The host let the exchange lapse; this block starts afresh.
    phase = Phase::kIdle;
    pending = Pending::kNone;
    command.clear();
    answer.clear();
  }
  std::optional<Block> block = damaged ? std::nullopt : t1::Decode(bytes);
  if (!block) {
    ++stats.damaged_blocks;
    RespondErrorLocked(RCode::kEdcError);
    return;
  }
  if (block->inf.size() > t1::kMaxInf) {
    ++stats.invalid_blocks;
    RespondErrorLocked(RCode::kOtherError);
    return;
  }
  switch (block->type()) {
    case BlockType::kS:
      HandleSLocked(*block);
      break;
    case BlockType::kR:
      HandleRLocked(*block);
      break;
    case BlockType::kI:
      HandleILocked(*block);
      break;
  }
}

void Reader::Firmware::RespondErrorLocked(RCode code) {
  switch (phase) {
    case Phase::kAwaitingS:
      // Its response was lost or damaged: ask again.
      ResendLocked(last_sent);
      return;
    case Phase::kBusy:
      return;  // the answer is on its way
    default:
      SendLocked(t1::MakeR(host_ns, code));
  }
}

void Reader::Firmware::HandleSLocked(const Block& b) {
  size_t len = b.inf.size();
  if (!b.response()) {
    switch (SKind(b.s_kind())) {
      case SKind::kResynch:
        if (len != 0) break;
        ++stats.resynchs;
        ResetLinkLocked();
        SendLocked(t1::MakeS(SKind::kResynch, true));
        return;
      case SKind::kIfs:
        if (len != 1 || b.inf[0] == 0 || b.inf[0] > t1::kMaxInf) break;
        ifsd = b.inf[0];
        SendLocked(t1::MakeS(SKind::kIfs, true, b.inf));
        return;
      case SKind::kAbort:
        if (len != 0) break;
        if (phase == Phase::kBusy || phase == Phase::kReceivingChain ||
            phase == Phase::kSendingChain) {
          ++power_epoch;  // drops the answer on its way
          CancelWtxLocked();
        }
        phase = Phase::kIdle;
        pending = Pending::kNone;
        command.clear();
        answer.clear();
        SendLocked(t1::MakeS(SKind::kAbort, true));
        return;
      default:
        break;
    }
  } else if (phase == Phase::kAwaitingS) {
    switch (pending) {
      case Pending::kWtx:
        if (SKind(b.s_kind()) != SKind::kWtx || len != 1) break;
        phase = Phase::kBusy;
        pending = Pending::kNone;
        if (answer_ready) {
          StartAnswerLocked();
        } else {
          ArmWtxLocked(options.wtx_after * (b.inf[0] ? b.inf[0] : 1));
        }
        return;
      case Pending::kIfs:
        if (SKind(b.s_kind()) != SKind::kIfs || len != 1 || b.inf[0] != requested_ifs) break;
        ifsc = requested_ifs;
        phase = Phase::kBusy;
        pending = Pending::kNone;
        StartAnswerLocked();
        return;
      case Pending::kIfsInHostChain:
        if (SKind(b.s_kind()) != SKind::kIfs || len != 1 || b.inf[0] != requested_ifs) break;
        ifsc = requested_ifs;
        phase = Phase::kReceivingChain;
        pending = Pending::kNone;
        SendLocked(t1::MakeR(host_ns, RCode::kAcknowledge));
        return;
      case Pending::kAbortHostChain:
        if (SKind(b.s_kind()) != SKind::kAbort || len != 0) break;
        phase = Phase::kIdle;
        pending = Pending::kNone;
        command.clear();
        // Acknowledges the block in flight, so that the host ends its chain.
        SendLocked(t1::MakeR(host_ns, RCode::kAcknowledge));
        return;
      case Pending::kAbortAnswerChain:
        if (SKind(b.s_kind()) != SKind::kAbort || len != 0) break;
        pending = Pending::kNone;
        phase = Phase::kBusy;
        answer = Answer(kSwTransmissionAborted);
        answer_nad = t1::kNadReaderToHost;
        StartAnswerLocked();
        return;
      case Pending::kNone:
        break;
    }
  }
  ++stats.invalid_blocks;
  RespondErrorLocked(RCode::kOtherError);
}

void Reader::Firmware::HandleRLocked(const Block& b) {
  if (!b.inf.empty() || (b.pcb & t1::kPcbRReservedBit) ||
      b.r_code() > uint8_t(RCode::kOtherError)) {
    ++stats.invalid_blocks;
    RespondErrorLocked(RCode::kOtherError);
    return;
  }
  switch (phase) {
    case Phase::kSendingChain:
      if (b.nr() != last_i_ns) {  // the block in flight is acknowledged
        if (script_abort_answer_chain) {
          script_abort_answer_chain = false;
          SendSRequestLocked(SKind::kAbort, Pending::kAbortAnswerChain);
        } else {
          SendNextAnswerBlockLocked();
        }
      } else {
        ResendLocked(last_i_block);
      }
      return;
    case Phase::kAwaitingS:
    case Phase::kReceivingChain:
      ResendLocked(last_sent);
      return;
    case Phase::kBusy:
      return;
    case Phase::kIdle:
      if (!last_i_block.empty() && b.nr() == last_i_ns) {
        ResendLocked(last_i_block);  // the host missed the reader's last I-block
      } else {
        // The host has the reader's last block; its own I-block must have got lost. Resending
        // our last block would only repeat what the host has already taken.
        SendLocked(t1::MakeR(host_ns, RCode::kOtherError));
      }
      return;
  }
}

void Reader::Firmware::HandleILocked(const Block& b) {
  auto invalid = [&] {
    ++stats.invalid_blocks;
    RespondErrorLocked(RCode::kOtherError);
  };
  if (phase != Phase::kIdle && phase != Phase::kReceivingChain) return invalid();
  uint8_t destination = t1::NadDestination(b.nad);
  bool addressed = t1::NadSource(b.nad) == t1::kAddressHost &&
                   (destination == t1::kAddressReader || destination == t1::kAddressCard);
  if (b.ns() != host_ns || !addressed || b.inf.size() > ifsc) return invalid();
  if (phase == Phase::kReceivingChain && b.nad != command_nad) return invalid();
  host_ns ^= 1;
  if (phase == Phase::kIdle) {
    command.clear();
    command_nad = b.nad;
  }
  command.insert(command.end(), b.inf.begin(), b.inf.end());
  if (b.more()) {
    phase = Phase::kReceivingChain;
    if (script_abort_host_chain) {
      script_abort_host_chain = false;
      SendSRequestLocked(SKind::kAbort, Pending::kAbortHostChain);
    } else if (script_ifs_in_host_chain) {
      requested_ifs = script_ifs_in_host_chain;
      script_ifs_in_host_chain = 0;
      SendSRequestLocked(SKind::kIfs, Pending::kIfsInHostChain, {requested_ifs});
    } else {
      SendLocked(t1::MakeR(host_ns, RCode::kAcknowledge));
    }
    return;
  }
  phase = Phase::kBusy;
  ExecuteLocked();
}

// --- sending ---

void Reader::Firmware::SendLocked(const Block& b) {
  std::vector<uint8_t> bytes = t1::Encode(b);
  ++stats.blocks_sent;
  line.reader_end().Transmit(bytes);
  last_sent = std::move(bytes);
  last_sent_time = kernel.Now();
}

void Reader::Firmware::ResendLocked(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  std::vector<uint8_t> copy = bytes;
  ++stats.resends;
  ++stats.blocks_sent;
  line.reader_end().Transmit(copy);
  last_sent = std::move(copy);
  last_sent_time = kernel.Now();
}

void Reader::Firmware::SendSRequestLocked(SKind kind, Pending why, std::vector<uint8_t> inf) {
  phase = Phase::kAwaitingS;
  pending = why;
  SendLocked(t1::MakeS(kind, false, inf));
}

// --- carrying out a command ---

void Reader::Firmware::ExecuteLocked() {
  answer_ready = false;
  if (t1::NadDestination(command_nad) == t1::kAddressReader) {
    ++stats.reader_commands;
    std::optional<std::vector<uint8_t>> now = ReaderCommandLocked(command);
    if (now) {
      std::vector<uint8_t> bytes = std::move(*now);
      At(kernel.Now() + options.command_time,
         [bytes](Firmware& fw) { fw.DeliverAnswerLocked(t1::kNadReaderToHost, bytes); });
    } else {
      ArmWtxLocked(options.wtx_after);
    }
    return;
  }
  ++stats.card_commands;
  if (!card || !card_powered) {
    At(kernel.Now() + options.command_time,
       [](Firmware& fw) { fw.DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwNoCard)); });
    return;
  }
  CardJob job{CardJob::Kind::kTransmit, 0, card, command, 0, nullptr};
  job.done = [this](std::optional<std::vector<uint8_t>> response, uint32_t) {
    if (response && !response->empty()) {
      DeliverAnswerLocked(t1::kNadCardToHost, std::move(*response));
    } else {
      DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwCardMute));
    }
  };
  QueueJobLocked(std::move(job));
  ArmWtxLocked(options.wtx_after);
}

void Reader::Firmware::DeliverAnswerLocked(uint8_t nad, std::vector<uint8_t> bytes) {
  if (phase != Phase::kBusy && !(phase == Phase::kAwaitingS && pending == Pending::kWtx)) return;
  answer = std::move(bytes);
  answer_nad = nad;
  if (phase == Phase::kAwaitingS) {
    answer_ready = true;  // sent once the host has answered the WTX request
    return;
  }
  StartAnswerLocked();
}

void Reader::Firmware::StartAnswerLocked() {
  CancelWtxLocked();
  answer_ready = false;
  if (script_ifs) {
    requested_ifs = script_ifs;
    script_ifs = 0;
    SendSRequestLocked(SKind::kIfs, Pending::kIfs, {requested_ifs});
    return;
  }
  if (script_wtx) {
    uint8_t multiplier = script_wtx;
    script_wtx = 0;
    answer_ready = true;
    ++stats.wtx_requests;
    SendSRequestLocked(SKind::kWtx, Pending::kWtx, {multiplier});
    return;
  }
  answer_sent = 0;
  SendNextAnswerBlockLocked();
}

void Reader::Firmware::SendNextAnswerBlockLocked() {
  size_t remaining = answer.size() - answer_sent;
  size_t chunk = std::min<size_t>(remaining, ifsd);
  bool more = remaining > chunk;
  Block b = t1::MakeI(answer_nad, reader_ns, more, std::span(answer).subspan(answer_sent, chunk));
  last_i_ns = reader_ns;
  reader_ns ^= 1;
  answer_sent += chunk;
  SendLocked(b);
  last_i_block = last_sent;
  phase = more ? Phase::kSendingChain : Phase::kIdle;
  if (!more && rate_after_answer) {
    uint32_t rate = rate_after_answer;
    rate_after_answer = 0;
    std::weak_ptr<Firmware> weak = weak_from_this();
    uint64_t epoch = power_epoch;
    line.reader_end().WhenTransmitterIdle([weak, epoch, rate] {
      auto self = weak.lock();
      if (!self) return;
      std::lock_guard lock(self->mu);
      if (self->closed || !self->booted || epoch != self->power_epoch) return;
      UartSettings s = self->line.reader_end().settings();
      s.bit_rate = rate;
      self->line.reader_end().Configure(s);
    });
  }
}

// --- waiting time extension ---

void Reader::Firmware::ArmWtxLocked(Ticks after) {
  CancelWtxLocked();
  if (!options.wtx_enabled) return;
  std::weak_ptr<Firmware> weak = weak_from_this();
  uint64_t epoch = power_epoch;
  wtx_timer = kernel.ScheduleAfter(after, [weak, epoch] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->mu);
    self->wtx_timer = 0;
    if (self->closed || epoch != self->power_epoch || self->phase != Phase::kBusy) return;
    ++self->stats.wtx_requests;
    self->SendSRequestLocked(SKind::kWtx, Pending::kWtx, {self->options.wtx_multiplier});
  });
}

void Reader::Firmware::CancelWtxLocked() {
  if (wtx_timer) kernel.CancelScheduled(wtx_timer);
  wtx_timer = 0;
}

// --- Reader ---

Reader::Reader(SerialLine& line, ReaderOptions options)
    : firmware_(std::make_shared<Firmware>(line, options)) {
  firmware_->Start();
}

Reader::~Reader() { firmware_->Close(); }

void Reader::Firmware::InsertCardLocked(std::shared_ptr<Card> new_card) {
  if (card && card_powered) {
    QueueJobLocked(CardJob{CardJob::Kind::kPowerOff, 0, card, {}, 0, nullptr});
  }
  card = std::move(new_card);
  card_powered = false;
  card_protocols = 0;
  selected_protocol = 0;
}

void Reader::InsertCard(std::shared_ptr<Card> card) {
  std::lock_guard lock(firmware_->mu);
  firmware_->InsertCardLocked(std::move(card));
}

void Reader::RemoveCard() { InsertCard(nullptr); }

void Reader::InsertCardAt(Ticks when, std::shared_ptr<Card> card) {
  std::lock_guard lock(firmware_->mu);
  firmware_->At(
      when, [card](Firmware& fw) { fw.InsertCardLocked(card); }, false);
}

void Reader::RemoveCardAt(Ticks when) { InsertCardAt(when, nullptr); }

bool Reader::card_present() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->card != nullptr;
}

bool Reader::card_powered() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->card_powered;
}

void Reader::RequestIfsBeforeNextAnswer(uint8_t size) {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_ifs = size;
}

void Reader::SendWtxBeforeNextAnswer(uint8_t multiplier) {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_wtx = multiplier;
}

void Reader::RequestIfsInNextHostChain(uint8_t size) {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_ifs_in_host_chain = size;
}

void Reader::AbortNextHostChain() {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_abort_host_chain = true;
}

void Reader::AbortNextAnswerChain() {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_abort_answer_chain = true;
}

bool Reader::booted() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->booted;
}

uint8_t Reader::ifsd() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->ifsd;
}

uint8_t Reader::ifsc() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->ifsc;
}

uint32_t Reader::selected_protocol() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->selected_protocol;
}

ReaderStats Reader::stats() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->stats;
}

}  // namespace sim
