// What the reader firmware sends back: acknowledgements, its own S-requests and what follows
// them, scripted steps, answers and their chains, and waiting time extensions.
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

void Reader::Firmware::SendLocked(const Block& b) {
  Block out = b;
  if (options.addressed_control_blocks && b.type() != BlockType::kI) {
    out.nad = t1::kNadReaderToHost;
  }
  std::vector<uint8_t> bytes = t1::Encode(out);
  ++stats.blocks_sent;
  TransmitLocked(bytes);
  last_sent = std::move(bytes);
  last_sent_time = kernel.Now();
}

void Reader::Firmware::ResendLocked(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  std::vector<uint8_t> copy = bytes;
  ++stats.resends;
  ++stats.blocks_sent;
  TransmitLocked(copy);
  last_sent = std::move(copy);
  last_sent_time = kernel.Now();
}

// --- scripted points and S-requests ---

bool Reader::Firmware::ReplyAtPointLocked(ExchangePoint point, Then then) {
  for (auto it = script.begin(); exchange != 0 && it != script.end();) {
    if (it->exchange != int(exchange) || !(it->at == point)) {
      ++it;
      continue;
    }
    ScriptStep step = *it;
    it = script.erase(it);
    switch (step.action) {
      case ScriptStep::Action::kRestart:
        RestartLocked();
        return true;
      case ScriptStep::Action::kRemoveCard:
        InsertCardLocked(nullptr);
        break;
      case ScriptStep::Action::kReaderAnswer:
        reader_answer = step.sw;
        break;
      case ScriptStep::Action::kWtx:
        s_queue.push_back({SKind::kWtx, step.value});
        break;
      case ScriptStep::Action::kIfs:
        s_queue.push_back({SKind::kIfs, step.value});
        break;
      case ScriptStep::Action::kAbort:
        s_queue.push_back({SKind::kAbort, 0});
        break;
    }
  }
  if (!s_queue.empty()) {
    SendQueuedLocked(then);
    return true;
  }
  if (!reader_answer) return false;
  ContinueLocked(then);
  return true;
}

void Reader::Firmware::SendQueuedLocked(Then then) {
  s_then = then;
  phase = Phase::kAwaitingS;
  pending = Pending::kQueue;
  SRequest request = s_queue.front();
  if (request.kind == SKind::kWtx) ++stats.wtx_requests;
  std::vector<uint8_t> inf;
  if (request.kind != SKind::kAbort) inf.push_back(request.value);
  SendLocked(t1::MakeS(request.kind, false, inf));
}

void Reader::Firmware::ContinueLocked(Then then) {
  if (reader_answer) {
    uint16_t sw = *reader_answer;
    reader_answer.reset();
    AnswerFromReaderLocked(sw);
    return;
  }
  switch (then) {
    case Then::kAcknowledge:
      phase = Phase::kReceivingChain;
      SendLocked(t1::MakeR(host_ns, RCode::kAcknowledge));
      return;
    case Then::kExecute:
      phase = Phase::kBusy;
      ExecuteLocked();
      return;
    case Then::kAnswer:
      phase = Phase::kBusy;
      answer_sent = 0;
      answer_blocks_sent = 0;
      SendNextAnswerBlockLocked();
      return;
    case Then::kNextAnswerBlock:
      SendNextAnswerBlockLocked();
      return;
  }
}

void Reader::Firmware::AnswerFromReaderLocked(uint16_t sw) {
  ++command_seq;  // the card's answer, should it still come, is not this command's any more
  CancelWtxLocked();
  s_queue.clear();
  pending = Pending::kNone;
  command.clear();
  answer = Answer(sw);
  answer_nad = t1::kNadReaderToHost;
  answer_sent = 0;
  answer_blocks_sent = 0;
  phase = Phase::kBusy;
  SendNextAnswerBlockLocked();
}

void Reader::Firmware::CardPulledLocked() {
  if (!options.removal_acts_at_once || phase == Phase::kIdle) return;
  if (phase == Phase::kBusy && card_calls > 0) {
    // The card is deactivated on the switch: its answer is not waited for.
    ++command_seq;
    DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwNoCard));
    return;
  }
  if (phase == Phase::kAwaitingS && pending == Pending::kWtx && card_calls > 0) {
    ++command_seq;
    DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwNoCard));
    return;
  }
  // In the middle of a chain of a card command: answered at the next block.
  if (exchange != 0) reader_answer = kSwNoCard;
}

// --- carrying out a command ---

void Reader::Firmware::ExecuteLocked() {
  answer_ready = false;
  if (t1::NadDestination(command_nad) == t1::kAddressReader) {
    ++stats.reader_commands;
    std::optional<std::vector<uint8_t>> now = ReaderCommandLocked(command);
    if (now) {
      std::vector<uint8_t> bytes = std::move(*now);
      uint64_t seq = command_seq;
      At(kernel.Now() + options.command_time, [bytes, seq](Firmware& fw) {
        if (seq == fw.command_seq) fw.DeliverAnswerLocked(t1::kNadReaderToHost, bytes);
      });
    } else {
      ArmWtxLocked(options.wtx_after);
    }
    return;
  }
  ++stats.card_commands;
  if (!card || !card_powered) {
    uint64_t seq = command_seq;
    At(kernel.Now() + options.command_time, [seq](Firmware& fw) {
      if (seq == fw.command_seq) fw.DeliverAnswerLocked(t1::kNadReaderToHost, Answer(kSwNoCard));
    });
    return;
  }
  CardJob job{CardJob::Kind::kTransmit, 0, 0, card, command, 0, nullptr};
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
  if (script_ifs) s_queue.push_back({SKind::kIfs, script_ifs});
  if (script_wtx) s_queue.push_back({SKind::kWtx, script_wtx});
  script_ifs = script_wtx = 0;
  if (!s_queue.empty()) return SendQueuedLocked(Then::kAnswer);
  ContinueLocked(Then::kAnswer);
}

void Reader::Firmware::SendNextAnswerBlockLocked() {
  size_t remaining = answer.size() - answer_sent;
  size_t size = ifsd;
  const std::vector<uint8_t>& own = options.answer_block_sizes;
  if (!own.empty() && own[answer_blocks_sent % own.size()] != 0) {
    size = std::min<size_t>(size, own[answer_blocks_sent % own.size()]);
  }
  size_t chunk = std::min(remaining, size);
  bool more = remaining > chunk;
  Block b = t1::MakeI(answer_nad, reader_ns, more, std::span(answer).subspan(answer_sent, chunk));
  last_i_ns = reader_ns;
  reader_ns ^= 1;
  answer_sent += chunk;
  ++answer_blocks_sent;
  SendLocked(b);
  last_i_block = last_sent;
  phase = more ? Phase::kSendingChain : Phase::kIdle;
  if (!more && rate_after_answer) {
    uint32_t rate = ReaderRate(rate_after_answer);
    rate_after_answer = 0;
    std::weak_ptr<Firmware> weak = weak_from_this();
    uint64_t epoch = power_epoch;
    auto switch_rate = [weak, epoch, rate] {
      auto self = weak.lock();
      if (!self) return;
      std::lock_guard lock(self->mu);
      if (self->closed || !self->booted || epoch != self->power_epoch) return;
      UartSettings s = self->line.reader_end().settings();
      s.bit_rate = rate;
      self->line.reader_end().Configure(s);
    };
    WhenAllSentLocked(switch_rate);
  }
}

// --- waiting time extension ---

void Reader::Firmware::ArmWtxLocked(Ticks after) {
  CancelWtxLocked();
  if (!options.wtx_enabled) return;
  if (options.wtx_jitter > 0) {
    after += Draw(0, 2 * options.wtx_jitter) - options.wtx_jitter;
    if (after < 0) after = 0;
  }
  std::weak_ptr<Firmware> weak = weak_from_this();
  uint64_t epoch = power_epoch;
  wtx_timer = kernel.ScheduleAfter(after, [weak, epoch] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->mu);
    self->wtx_timer = 0;
    if (self->closed || epoch != self->power_epoch || self->phase != Phase::kBusy) return;
    ++self->stats.wtx_requests;
    self->phase = Phase::kAwaitingS;
    self->pending = Pending::kWtx;
    self->SendLocked(
        t1::MakeS(SKind::kWtx, false, std::vector<uint8_t>{self->options.wtx_multiplier}));
  });
}

void Reader::Firmware::CancelWtxLocked() {
  if (wtx_timer) kernel.CancelScheduled(wtx_timer);
  wtx_timer = 0;
}

}  // namespace sim
