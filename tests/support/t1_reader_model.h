// Test support: the reader's side of the T=1 link, as ISO 7816-3 has a card or reader play it,
// with faults injected into what it sends and receives. It answers each complete command with
// the answer set for it.
#pragma once
#include <functional>
#include <random>

#include "tests/support/test_serial_line.h"

namespace test_support {

enum class Fault { kNone, kFlipBit, kDropByte, kDropBlock, kTruncate, kLate };

struct FaultCounts {
  int flip_bit = 0, drop_byte = 0, drop_block = 0, truncate = 0, late = 0;
  int total() const { return flip_bit + drop_byte + drop_block + truncate + late; }
};

class T1ReaderModel {
 public:
  T1ReaderModel(TestSerialLine& line, uint64_t seed);

  Bytes answer;               // what the next complete command is answered with
  uint8_t answer_nad = 0x21;  // DAD host, SAD reader
  size_t chunk = 254;         // INF bytes per block of the answer
  int wtx_before_answer = 0;  // S(WTX request) multiplier sent before the answer, 0 none
  host::kernel::Ticks answer_delay = host::kernel::Milliseconds(5);
  // Probability that a block the reader sends, or one it receives, is damaged; and the kinds.
  double outbound_fault_rate = 0;
  double inbound_fault_rate = 0;
  std::vector<Fault> fault_kinds = {Fault::kFlipBit, Fault::kDropByte, Fault::kDropBlock,
                                    Fault::kTruncate, Fault::kLate};

  Bytes last_command;  // the last complete command received
  int commands = 0;
  FaultCounts faults;

 private:
  void OnBlock(Bytes block);
  void SendBlock(uint8_t nad, uint8_t pcb, const Bytes& inf);
  void Transmit(const Bytes& block, host::kernel::Ticks delay);
  void SendAnswerBlock();
  Fault Draw(double rate);

  TestSerialLine& line_;
  std::mt19937_64 rng_;
  int rx_seq_ = 0;  // N(S) expected from the host
  int tx_seq_ = 0;  // N(S) of the reader's next I-block
  Bytes command_;
  bool answering_ = false;
  size_t answer_pos_ = 0;  // offset of the answer block in flight
  size_t answer_len_ = 0;  // its length
  bool waiting_wtx_response_ = false;
  Bytes last_sent_;
  bool last_sent_is_i_block_ = false;
  int last_sent_ns_ = 0;
};

}  // namespace test_support
