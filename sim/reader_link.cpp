// The reader firmware's side of the T=1 link: characters in, blocks checked and dispatched.
#include "host/kernel/kernel.h"
#include "sim/reader_firmware.h"
#include "sim/reader_protocol.h"

namespace sim {

using host::kernel::Ticks;
using t1::Block;
using t1::BlockType;
using t1::RCode;
using t1::SKind;

void Reader::Firmware::OnCharacter(const ReceivedCharacter& ch) {
  std::lock_guard lock(mu);
  if (closed || !booted) return;
  bool damaged = ch.parity_error || ch.framing_error;
  bool deaf = options.deaf_while_card_works && card_calls > 0 && phase == Phase::kBusy;
  if (deaf || InGuardTimeLocked(ch.time) || (damaged && options.parity == CharacterErrors::kDrop)) {
    ++stats.lost_characters;
    return;
  }
  if (!rx.empty() && ch.time - rx_last > options.char_waiting_time) {
    ++stats.discarded_partials;
    rx.clear();
    rx_damaged = false;
  }
  rx.push_back(ch.value);
  rx_damaged = rx_damaged || (damaged && options.parity == CharacterErrors::kFlag);
  rx_last = ch.time;
  if (rx.size() >= t1::kPrologueSize &&
      rx.size() == t1::kPrologueSize + rx[2] + t1::kEpilogueSize) {
    std::vector<uint8_t> block = std::move(rx);
    bool block_damaged = rx_damaged;
    rx.clear();
    rx_damaged = false;
    HandleBlockLocked(std::move(block), block_damaged);
  }
}

void Reader::Firmware::HandleBlockLocked(std::vector<uint8_t> bytes, bool damaged) {
  ++stats.blocks_received;
  std::optional<Block> block = damaged ? std::nullopt : t1::Decode(bytes);
  if (mute) {
    // Only a resynchronisation brings it back.
    if (block && block->type() == BlockType::kS && !block->response() &&
        SKind(block->s_kind()) == SKind::kResynch) {
      HandleSLocked(*block);
    }
    return;
  }
  bool in_exchange = phase == Phase::kReceivingChain || phase == Phase::kSendingChain ||
                     (phase == Phase::kAwaitingS && pending != Pending::kWtx);
  if (in_exchange && options.block_waiting_time > 0 &&
      kernel.Now() - last_sent_time > options.block_waiting_time) {
    // The host let the exchange lapse; this block starts afresh.
    phase = Phase::kIdle;
    pending = Pending::kNone;
    s_queue.clear();
    command.clear();
    answer.clear();
  }
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

bool Reader::Firmware::BadBlockLocked() {
  ++bad_blocks;
  if (options.max_bad_blocks == 0 || bad_blocks <= options.max_bad_blocks) return false;
  if (!mute) ++stats.mute_periods;
  mute = true;
  return true;
}

void Reader::Firmware::RespondErrorLocked(RCode code) {
  if (phase == Phase::kBusy) return;  // the answer is on its way
  if (BadBlockLocked()) return;
  if (phase == Phase::kAwaitingS) {
    // Its response was lost or damaged: ask again.
    ResendLocked(last_sent);
    return;
  }
  SendLocked(t1::MakeR(host_ns, code));
}

void Reader::Firmware::HandleSLocked(const Block& b) {
  size_t len = b.inf.size();
  if (b.response()) {
    if (phase == Phase::kAwaitingS) return HandleSResponseLocked(b);
  } else {
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
          ++command_seq;  // drops the answer on its way
          CancelWtxLocked();
        }
        phase = Phase::kIdle;
        pending = Pending::kNone;
        s_queue.clear();
        command.clear();
        answer.clear();
        SendLocked(t1::MakeS(SKind::kAbort, true));
        return;
      default:
        break;
    }
  }
  ++stats.invalid_blocks;
  RespondErrorLocked(RCode::kOtherError);
}

void Reader::Firmware::HandleSResponseLocked(const Block& b) {
  size_t len = b.inf.size();
  SKind kind = SKind(b.s_kind());
  if (pending == Pending::kWtx) {
    if (kind != SKind::kWtx || len != 1) {
      ++stats.invalid_blocks;
      return RespondErrorLocked(RCode::kOtherError);
    }
    phase = Phase::kBusy;
    pending = Pending::kNone;
    bad_blocks = 0;
    if (answer_ready) {
      StartAnswerLocked();
    } else {
      ArmWtxLocked(options.wtx_after * (b.inf[0] ? b.inf[0] : 1));
    }
    return;
  }
  if (pending != Pending::kQueue || s_queue.empty()) {
    ++stats.invalid_blocks;
    return RespondErrorLocked(RCode::kOtherError);
  }
  SRequest asked = s_queue.front();
  size_t expected_len = asked.kind == SKind::kAbort ? 0 : 1;
  if (kind != asked.kind || len != expected_len ||
      (asked.kind == SKind::kIfs && b.inf[0] != asked.value)) {
    ++stats.invalid_blocks;
    return RespondErrorLocked(RCode::kOtherError);
  }
  bad_blocks = 0;
  s_queue.pop_front();
  pending = Pending::kNone;
  if (asked.kind == SKind::kIfs) ifsc = asked.value;
  if (asked.kind == SKind::kAbort) {
    s_queue.clear();
    reader_answer.reset();
    if (s_then == Then::kAcknowledge || s_then == Then::kExecute) {
      // The host's chain is over: acknowledging the block in flight lets the host end it.
      phase = Phase::kIdle;
      command.clear();
      SendLocked(t1::MakeR(host_ns, RCode::kAcknowledge));
    } else {
      // Its own answer is given up, and that is what it answers.
      AnswerFromReaderLocked(kSwTransmissionAborted);
    }
    return;
  }
  if (!s_queue.empty()) return SendQueuedLocked(s_then);
  ContinueLocked(s_then);
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
        bad_blocks = 0;
        ++answer_acked;
        if (script_abort_answer_chain) {
          script_abort_answer_chain = false;
          s_queue.push_back({SKind::kAbort, 0});
        }
        if (!ReplyAtPointLocked({ExchangePoint::Chain::kAnswer, answer_acked},
                                Then::kNextAnswerBlock)) {
          SendNextAnswerBlockLocked();
        }
      } else if (!BadBlockLocked()) {
        ResendLocked(last_i_block);
      }
      return;
    case Phase::kAwaitingS:
    case Phase::kReceivingChain:
      if (!BadBlockLocked()) ResendLocked(last_sent);
      return;
    case Phase::kBusy:
      return;
    case Phase::kIdle:
      if (BadBlockLocked()) return;
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
  bad_blocks = 0;
  if (phase == Phase::kIdle) {
    // A new command.
    ++command_seq;
    command.clear();
    command_nad = b.nad;
    host_blocks = 0;
    answer_acked = 0;
    reader_answer.reset();
    s_queue.clear();
    exchange = destination == t1::kAddressCard ? ++card_commands_started : 0;
  }
  ++host_blocks;
  command.insert(command.end(), b.inf.begin(), b.inf.end());
  ExchangePoint point{ExchangePoint::Chain::kHost, host_blocks};
  if (b.more()) {
    phase = Phase::kReceivingChain;
    if (script_abort_host_chain) {
      script_abort_host_chain = false;
      s_queue.push_back({SKind::kAbort, 0});
    } else if (script_ifs_in_host_chain) {
      s_queue.push_back({SKind::kIfs, script_ifs_in_host_chain});
      script_ifs_in_host_chain = 0;
    }
    if (!ReplyAtPointLocked(point, Then::kAcknowledge)) ContinueLocked(Then::kAcknowledge);
    return;
  }
  phase = Phase::kBusy;
  if (!ReplyAtPointLocked(point, Then::kExecute)) ExecuteLocked();
}

}  // namespace sim
