// A record of every character on the serial line, with its virtual time and direction, and a
// decoder that cuts each direction's characters into T=1 blocks and prints them as a person
// reads them:
//   host->reader 12 00 05 20 13 00 80 00 A4  I(0,no more) NAD 12 INF=20 13 00 80 00 LRC ok
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "sim/serial_line.h"

namespace sim {

struct DecodedBlock {
  Direction direction = Direction::kHostToReader;
  host::kernel::Ticks first = 0;  // time of its first and last character
  host::kernel::Ticks last = 0;
  std::vector<uint8_t> bytes;
  bool complete = false;  // as many bytes as its LEN asks for
  bool lrc_ok = false;
  bool character_errors = false;  // a character had a parity or framing error
};

struct DecodeOptions {
  // Which view of the line: what the receivers got (default) or what the transmitters sent.
  LineEvent::Kind view = LineEvent::Kind::kReceived;
  // A pause longer than this between two characters of one direction ends a partial block; 0:
  // the trace's own (kDefaultBlockGap unless set).
  host::kernel::Ticks gap = 0;
  // In the sent view: characters sent that never reached the wire (dropped, silenced) as well.
  bool include_lost = false;
};
constexpr host::kernel::Ticks kDefaultBlockGap = host::kernel::Milliseconds(50);

// Cuts the events of each direction into blocks, in the order their first characters came.
std::vector<DecodedBlock> DecodeBlocks(const std::vector<LineEvent>& events,
                                       const DecodeOptions& options = {});
// One line, without a time stamp; incomplete blocks say "cut short".
std::string DescribeBlock(const DecodedBlock& block);

class LineTrace {
 public:
  explicit LineTrace(SerialLine& line);
  ~LineTrace();
  LineTrace(const LineTrace&) = delete;
  LineTrace& operator=(const LineTrace&) = delete;

  std::vector<LineEvent> events() const;
  // Values of one direction in one view.
  std::vector<uint8_t> Bytes(Direction direction,
                             LineEvent::Kind view = LineEvent::Kind::kReceived) const;
  std::vector<DecodedBlock> Blocks(const DecodeOptions& options = {}) const;
  // Every block, one per line, with its time in milliseconds.
  std::string BlockText(const DecodeOptions& options = {}) const;
  // Every character, one per line: "   12.345 ms host->reader sent 12".
  std::string CharacterText() const;
  void Clear();
  // The pause that ends a partial block when the options leave it open: longer than a sender's
  // longest pause between the characters of a block.
  void set_block_gap(host::kernel::Ticks gap);

 private:
  SerialLine& line_;
  int observer_ = 0;
  mutable std::mutex mu_;  // guards events_
  std::vector<LineEvent> events_;
  host::kernel::Ticks block_gap_ = kDefaultBlockGap;  // guarded by mu_
};

}  // namespace sim
