#include "tests/support/t1_reader_model.h"

namespace test_support {
namespace {

constexpr uint8_t kPcbMore = 0x20;
constexpr uint8_t kPcbNs = 0x40;
constexpr uint8_t kPcbNr = 0x10;

uint8_t Lrc(const Bytes& b, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= b[i];
  return x;
}

}  // namespace

T1ReaderModel::T1ReaderModel(TestSerialLine& line, uint64_t seed) : line_(line), rng_(seed) {
  line_.on_write = [this](const Bytes& written) { OnBlock(written); };
}

Fault T1ReaderModel::Draw(double rate) {
  if (rate <= 0 || fault_kinds.empty()) return Fault::kNone;
  if (std::uniform_real_distribution<double>(0, 1)(rng_) >= rate) return Fault::kNone;
  return fault_kinds[std::uniform_int_distribution<size_t>(0, fault_kinds.size() - 1)(rng_)];
}

// Damage as a line does it; every kind is one the link's checks must catch.
void T1ReaderModel::Transmit(const Bytes& block, host::kernel::Ticks delay) {
  Bytes out = block;
  switch (Draw(outbound_fault_rate)) {
    case Fault::kNone:
      break;
    case Fault::kFlipBit: {
      size_t i = std::uniform_int_distribution<size_t>(0, out.size() - 1)(rng_);
      out[i] ^= uint8_t(1u << std::uniform_int_distribution<int>(0, 7)(rng_));
      ++faults.flip_bit;
      break;
    }
    case Fault::kDropByte:
      out.erase(out.begin() + std::uniform_int_distribution<size_t>(0, out.size() - 1)(rng_));
      ++faults.drop_byte;
      break;
    case Fault::kDropBlock:
      ++faults.drop_block;
      return;
    case Fault::kTruncate:
      out.resize(std::uniform_int_distribution<size_t>(1, out.size() - 1)(rng_));
      ++faults.truncate;
      break;
    case Fault::kLate:
      delay += host::kernel::Seconds(30);
      ++faults.late;
      break;
  }
  line_.Send(out, delay);
}

void T1ReaderModel::SendBlock(uint8_t nad, uint8_t pcb, const Bytes& inf) {
  Bytes b = {nad, pcb, uint8_t(inf.size())};
  b.insert(b.end(), inf.begin(), inf.end());
  b.push_back(Lrc(b, b.size()));
  last_sent_ = b;
  last_sent_is_i_block_ = (pcb & 0x80) == 0;
  last_sent_ns_ = (pcb & kPcbNs) ? 1 : 0;
  Transmit(b, answer_delay);
}

void T1ReaderModel::SendAnswerBlock() {
  answer_len_ = std::min(chunk, answer.size() - answer_pos_);
  bool more = answer_pos_ + answer_len_ < answer.size();
  Bytes inf(answer.begin() + answer_pos_, answer.begin() + answer_pos_ + answer_len_);
  SendBlock(answer_nad, uint8_t((tx_seq_ ? kPcbNs : 0) | (more ? kPcbMore : 0)), inf);
  tx_seq_ ^= 1;
  answering_ = more;
}

void T1ReaderModel::OnBlock(Bytes block) {
  switch (Draw(inbound_fault_rate)) {
    case Fault::kFlipBit:
      block[std::uniform_int_distribution<size_t>(0, block.size() - 1)(rng_)] ^= 0x04;
      break;
    case Fault::kDropByte:
    case Fault::kTruncate:
      block.pop_back();
      break;
    case Fault::kDropBlock:
    case Fault::kLate:
      return;  // never arrived, or so late that the reader took it for noise
    case Fault::kNone:
      break;
  }
  bool good =
      block.size() >= 4 && block.size() == size_t(block[2]) + 4 && Lrc(block, block.size()) == 0;
  if (!good) {
    SendBlock(0, uint8_t(0x80 | (rx_seq_ ? kPcbNr : 0) | 0x01), {});
    return;
  }
  uint8_t pcb = block[1];
  Bytes inf(block.begin() + 3, block.end() - 1);
  if ((pcb & 0x80) == 0) {  // I-block
    int ns = (pcb & kPcbNs) ? 1 : 0;
    if (ns != rx_seq_) {  // the host did not get our answer to it
      Transmit(last_sent_, answer_delay);
      return;
    }
    rx_seq_ ^= 1;
    command_.insert(command_.end(), inf.begin(), inf.end());
    if (pcb & kPcbMore) {
      SendBlock(0, uint8_t(0x80 | (rx_seq_ ? kPcbNr : 0)), {});
      return;
    }
    last_command = command_;
    command_.clear();
    ++commands;
    answer_pos_ = 0;
    if (wtx_before_answer) {
      waiting_wtx_response_ = true;
      SendBlock(0, 0xC3, {uint8_t(wtx_before_answer)});
      return;
    }
    SendAnswerBlock();
    return;
  }
  if ((pcb & 0xC0) == 0x80) {  // R-block
    int nr = (pcb & kPcbNr) ? 1 : 0;
    if (answering_ && nr == tx_seq_) {  // acknowledges the chained block in flight
      answer_pos_ += answer_len_;
      SendAnswerBlock();
    } else if (last_sent_is_i_block_ && nr != last_sent_ns_) {
      // Our last I-block was taken; the host's own I-block must have got lost.
      SendBlock(0, uint8_t(0x80 | (rx_seq_ ? kPcbNr : 0) | 0x02), {});
    } else if (!last_sent_.empty()) {
      Transmit(last_sent_, answer_delay);
    }
    return;
  }
  switch (pcb) {  // S-blocks
    case 0xC0:
      rx_seq_ = tx_seq_ = 0;
      command_.clear();
      answering_ = waiting_wtx_response_ = false;
      SendBlock(0, 0xE0, {});
      break;
    case 0xC1:
      SendBlock(0, 0xE1, inf);
      break;
    case 0xC2:
      command_.clear();
      answering_ = false;
      SendBlock(0, 0xE2, {});
      break;
    case 0xE3:
      if (waiting_wtx_response_) {
        waiting_wtx_response_ = false;
        SendAnswerBlock();
      }
      break;
    default:
      SendBlock(0, uint8_t(0x80 | (rx_seq_ ? kPcbNr : 0) | 0x02), {});
      break;
  }
}

}  // namespace test_support
