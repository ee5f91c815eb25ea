// A plain T=1 host for tests, tools and benchmarks that talk to the reader without the driver:
// blocks in and out over a BlockingPort, S(RESYNCH) and S(IFS) exchanges, and whole commands with
// chaining both ways, WTX, the reader's IFS and ABORT requests and error recovery by R-blocks.
// Call it from a host thread of the machine.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "sim/blocking_port.h"
#include "sim/t1_block.h"

namespace sim {

class T1Host {
 public:
  explicit T1Host(BlockingPort& port) : port_(port) {}

  struct Received {
    enum class Status { kOk, kTimeout, kDamaged } status = Status::kTimeout;
    t1::Block block;             // when kOk
    std::vector<uint8_t> bytes;  // what arrived
  };

  void SendBlock(const t1::Block& block);
  void SendRaw(std::span<const uint8_t> bytes) { port_.Send(bytes); }
  // The first character within `timeout`, each further one within char_timeout.
  Received ReceiveBlock(host::kernel::Ticks timeout);

  bool Resynch();              // ns, nr back to 0 and ifsc 32 on success
  bool SetIfsd(uint8_t size);  // announces the host's receive size

  struct Reply {
    bool ok = false;
    uint8_t nad = 0;  // of the last answer block: 0x21 the reader, 0x20 the card
    std::vector<uint8_t> data;
    std::string error;
    int wtx_requests = 0;
  };
  // One command to `nad` (t1::kNadHostToReader or kNadHostToCard), the whole answer back.
  Reply Transceive(uint8_t nad, std::span<const uint8_t> command);
  Reply Transceive(uint8_t nad, std::initializer_list<uint8_t> command) {
    return Transceive(nad, std::span<const uint8_t>(command.begin(), command.size()));
  }

  uint8_t ifsc = t1::kDefaultIfs;  // the largest INF the host sends
  uint8_t ns = 0;                  // N(S) of the host's next I-block
  uint8_t nr = 0;                  // N(S) expected from the reader
  host::kernel::Ticks block_timeout = host::kernel::Seconds(5);
  host::kernel::Ticks char_timeout = host::kernel::Milliseconds(500);
  int max_errors = 3;

 private:
  BlockingPort& port_;
};

}  // namespace sim
