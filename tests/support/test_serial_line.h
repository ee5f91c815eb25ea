// Test support: a serial routine for the reader link that carries out its requests against a
// scripted far end instead of the converter. Reads honour the link's timeouts in virtual time.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "platform/wdm.h"
#include "sim/t1_block.h"

namespace test_support {

using Bytes = std::vector<uint8_t>;

// "12 00 05" -> {0x12, 0x00, 0x05}
Bytes Hex(const std::string& text);
inline std::string ToHex(const Bytes& bytes) { return sim::t1::Hex(bytes); }

// One request the link made, in order: its code, the request descriptor's length and the bytes it
// carried (none for reads), and when.
struct ScriptedLineRequest {
  ULONG code = 0;
  ULONG length = 0;
  Bytes data;
  host::kernel::Ticks at = 0;
};

struct ReadRecord {
  ULONG wanted = 0;
  ULONG delivered = 0;
  ULONG total_timeout_ms = 0;  // wanted x multiplier + constant, as in force for this read
  NTSTATUS status = STATUS_SUCCESS;
};

class TestSerialLine {
 public:
  // Serves the link of this extension; SerialIo finds it from the extension.
  explicit TestSerialLine(PSMARTCARD_EXTENSION extension);
  ~TestSerialLine();
  TestSerialLine(const TestSerialLine&) = delete;
  TestSerialLine& operator=(const TestSerialLine&) = delete;

  // The serial routine to hand to CreateReaderBinding.
  static NTSTATUS SerialIo(PSMARTCARD_EXTENSION extension);

  // The far end sends bytes; the first arrives `delay` after now, the others one character
  // time apart.
  void Send(const Bytes& bytes, host::kernel::Ticks delay);

  // Called with each block the link writes.
  std::function<void(const Bytes&)> on_write;
  // When set, decides the status of every request before it is carried out; a failure is
  // returned as it is and the request has no effect.
  std::function<NTSTATUS(ULONG code)> request_status;

  // Whether a read reports the bytes it delivered by lowering SmartcardReply.BufferLength.
  bool report_delivered = true;
  host::kernel::Ticks char_time = host::kernel::Milliseconds(1);

  std::vector<Bytes> writes;
  std::vector<host::kernel::Ticks> write_times;  // when each of `writes` was made
  std::vector<ScriptedLineRequest> requests;     // every request, reads and writes included
  std::vector<ReadRecord> reads;
  std::vector<SERIAL_TIMEOUTS> timeouts_set;
  std::vector<ULONG> purge_masks;
  std::vector<ULONG> other_requests;

 private:
  NTSTATUS Serve(PSMARTCARD_EXTENSION extension);
  NTSTATUS Read(PSMARTCARD_EXTENSION extension);

  PSMARTCARD_EXTENSION extension_;
  SERIAL_TIMEOUTS timeouts_{};
  struct Arrival {
    host::kernel::Ticks at;
    uint8_t byte;
  };
  std::deque<Arrival> received_;
};

}  // namespace test_support
