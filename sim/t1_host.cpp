#include "sim/t1_host.h"

namespace sim {

using host::kernel::Ticks;
using t1::Block;
using t1::BlockType;
using t1::RCode;
using t1::SKind;

void T1Host::SendBlock(const Block& block) {
  port_.Purge();
  port_.Send(t1::Encode(block));
}

T1Host::Received T1Host::ReceiveBlock(Ticks timeout) {
  Received r;
  r.bytes = port_.Receive(1, timeout);
  if (r.bytes.empty()) return r;
  auto more = port_.Receive(2, char_timeout * 2);
  r.bytes.insert(r.bytes.end(), more.begin(), more.end());
  if (r.bytes.size() < t1::kPrologueSize) return r;
  size_t rest = size_t(r.bytes[2]) + t1::kEpilogueSize;
  more = port_.Receive(rest, char_timeout * Ticks(rest));
  r.bytes.insert(r.bytes.end(), more.begin(), more.end());
  if (more.size() < rest) return r;
  auto block = t1::Decode(r.bytes);
  r.status = block ? Received::Status::kOk : Received::Status::kDamaged;
  if (block) r.block = *block;
  return r;
}

bool T1Host::Resynch() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    SendBlock(t1::MakeS(SKind::kResynch, false));
    Received r = ReceiveBlock(block_timeout);
    if (r.status == Received::Status::kOk && r.block.pcb == t1::MakeS(SKind::kResynch, true).pcb &&
        r.block.inf.empty()) {
      ns = nr = 0;
      ifsc = t1::kDefaultIfs;
      return true;
    }
  }
  return false;
}

bool T1Host::SetIfsd(uint8_t size) {
  const uint8_t inf[] = {size};
  for (int attempt = 0; attempt < 3; ++attempt) {
    SendBlock(t1::MakeS(SKind::kIfs, false, inf));
    Received r = ReceiveBlock(block_timeout);
    if (r.status == Received::Status::kOk && r.block.pcb == t1::MakeS(SKind::kIfs, true).pcb &&
        r.block.inf.size() == 1 && r.block.inf[0] == size) {
      return true;
    }
  }
  return false;
}

T1Host::Reply T1Host::Transceive(uint8_t nad, std::span<const uint8_t> command) {
  Reply reply;
  size_t start = 0;  // of the I-block in flight
  bool sending = true;
  int errors = 0;
  Ticks wait = block_timeout;
  auto send_chunk = [&] {
    size_t chunk = std::min<size_t>(command.size() - start, ifsc);
    bool more = command.size() - start > chunk;
    SendBlock(t1::MakeI(nad, ns, more, command.subspan(start, chunk)));
    return chunk;
  };
  size_t in_flight = send_chunk();
  for (;;) {
    Received r = ReceiveBlock(wait);
    wait = block_timeout;
    if (r.status != Received::Status::kOk) {
      if (++errors > max_errors) {
        reply.error = r.status == Received::Status::kTimeout ? "no answer" : "damaged answers";
        return reply;
      }
      SendBlock(t1::MakeR(
          nr, r.status == Received::Status::kDamaged ? RCode::kEdcError : RCode::kOtherError));
      continue;
    }
    const Block& b = r.block;
    switch (b.type()) {
      case BlockType::kR:
        if (sending && b.nr() != ns) {  // acknowledges the block in flight
          ns ^= 1;
          start += in_flight;
          errors = 0;
          if (start >= command.size()) {
            reply.error = "the reader acknowledged the last block instead of answering";
            return reply;
          }
          in_flight = send_chunk();
        } else if (sending) {
          in_flight = send_chunk();  // asked for again
        } else {
          SendBlock(t1::MakeR(nr, RCode::kAcknowledge));
        }
        continue;
      case BlockType::kS: {
        if (b.response()) break;
        errors = 0;
        if (b.s_kind() == uint8_t(SKind::kWtx) && b.inf.size() == 1) {
          ++reply.wtx_requests;
          SendBlock(t1::MakeS(SKind::kWtx, true, b.inf));
          wait = block_timeout * (b.inf[0] ? b.inf[0] : 1);
          continue;
        }
        if (b.s_kind() == uint8_t(SKind::kIfs) && b.inf.size() == 1) {
          ifsc = b.inf[0];
          SendBlock(t1::MakeS(SKind::kIfs, true, b.inf));
          continue;
        }
        if (b.s_kind() == uint8_t(SKind::kAbort)) {
          SendBlock(t1::MakeS(SKind::kAbort, true));
          if (sending) {
            reply.error = "the reader aborted the command";
            // Its acknowledgement ends the exchange.
            Received ack = ReceiveBlock(block_timeout);
            if (ack.status == Received::Status::kOk && ack.block.type() == BlockType::kR) ns ^= 1;
            return reply;
          }
          reply.data.clear();
          continue;
        }
        break;
      }
      case BlockType::kI:
        if (b.ns() != nr) break;
        if (sending) {
          ns ^= 1;  // the answer acknowledges the last command block
          sending = false;
        }
        nr ^= 1;
        errors = 0;
        reply.nad = b.nad;
        reply.data.insert(reply.data.end(), b.inf.begin(), b.inf.end());
        if (!b.more()) {
          reply.ok = true;
          return reply;
        }
        SendBlock(t1::MakeR(nr, RCode::kAcknowledge));
        continue;
    }
    // Intact but unacceptable.
    if (++errors > max_errors) {
      reply.error = "unacceptable answers";
      return reply;
    }
    SendBlock(t1::MakeR(nr, RCode::kOtherError));
  }
}

}  // namespace sim
