// Fuzz target: the reader link's receive path fed whatever the reader's side of the line sends
// while the driver waits for an answer. The link runs in a simulated machine against the test
// serial line (virtual time: the waiting times cost nothing), as the link tests drive it.
//
// Input: four header bytes, then the reader's answers.
//   0  operation: bits 1..0 T1Transceive to the reader, to the card, T1Resynch, T1SetIfsd;
//      bits 3..2 LinkState on entry (in step, resynch due, no answer, given up); bits 5..4
//      SequenceBits; bit 6 the serial routine does not report short reads; bit 7 the command
//      and the reply share one buffer (as the raw reader command has them)
//   1  Ifsc on entry, modulo 255 (0 as at allocation, never the reserved 255)
//   2  reply capacity / 2
//   3  command length / 2
//   then records, each [h][n][n bytes]: h bits 5..0 the delay before the first byte (0..39 ms,
//   then whole seconds), bit 6 the record's LRC is appended, bit 7 the record follows the one
//   before it in the same answer (a pause inside a block). Each block the link writes is answered
//   with the next record and those that follow it; once they have run out the reader is silent.
// A second exchange, a short command to the reader, follows on whatever state the first left.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "link/link.h"
#include "tests/support/link_bench.h"

namespace {

using test_support::Bytes;
using test_support::LinkBench;

// Blocks the link may write once the reader has gone silent: an exchange's three R-blocks, three
// S(RESYNCH) at the next one's entry and its own first block, with room to spare.
constexpr size_t kWritesAfterSilence = 16;
constexpr uint8_t kDelayMask = 0x3F;
constexpr uint8_t kAppendLrc = 0x40;
constexpr uint8_t kContinues = 0x80;
constexpr uint8_t kLastMillisecondDelay = 39;
constexpr ULONG kLinkStates[] = {LINK_STATE_IN_STEP, LINK_STATE_RESYNCH_DUE, LINK_STATE_NO_ANSWER,
                                 LINK_STATE_GIVEN_UP};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_t1_receive: %s\n", what);
  std::abort();
}

struct Record {
  host::kernel::Ticks delay;
  Bytes bytes;
  bool continues;
};

// The reader's side: answers each block the link writes with the next records.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at + 2 <= size) {
      uint8_t h = data[at], n = data[at + 1];
      at += 2;
      Record r;
      uint8_t code = h & kDelayMask;
      r.delay = code <= kLastMillisecondDelay ? host::kernel::Milliseconds(code)
                                              : host::kernel::Seconds(code - kLastMillisecondDelay);
      r.continues = (h & kContinues) != 0;
      size_t take = std::min<size_t>(n, size - at);
      r.bytes.assign(data + at, data + at + take);
      at += take;
      if (h & kAppendLrc) {
        uint8_t lrc = 0;
        for (uint8_t b : r.bytes) lrc ^= b;
        r.bytes.push_back(lrc);
      }
      records_.push_back(std::move(r));
    }
  }

  void Answer(test_support::TestSerialLine& line, const Bytes& block) {
    CheckBlock(block);
    if (next_ == records_.size()) {
      if (++writes_after_silence_ > kWritesAfterSilence)
        Fail("link keeps writing to a silent reader");
      return;
    }
    host::kernel::Ticks at = 0;
    do {
      const Record& r = records_[next_++];
      at += r.delay;
      line.Send(r.bytes, at);
      at += host::kernel::Ticks(r.bytes.size()) * line.char_time;
    } while (next_ < records_.size() && records_[next_].continues);
  }

 private:
  // Whatever the reader sends, what the link writes stays a well-formed block.
  static void CheckBlock(const Bytes& block) {
    if (block.size() < T1_PROLOGUE_LENGTH + T1_EPILOGUE_LENGTH) Fail("block shorter than 4 bytes");
    if (block.size() != size_t(block[T1_OFFSET_LEN]) + T1_PROLOGUE_LENGTH + T1_EPILOGUE_LENGTH) {
      Fail("block length differs from its LEN");
    }
    uint8_t lrc = 0;
    for (uint8_t b : block) lrc ^= b;
    if (lrc != 0) Fail("block written with a wrong LRC");
    if (block[T1_OFFSET_LEN] > T1_IFS_LARGEST) Fail("block larger than any IFSC");
  }

  std::vector<Record> records_;
  size_t next_ = 0;
  size_t writes_after_silence_ = 0;
};

void CheckLinkState(const LinkBench& b) {
  ULONG state = b.reader->LinkState;
  if (state != LINK_STATE_IN_STEP && state != LINK_STATE_RESYNCH_DUE &&
      state != LINK_STATE_NO_ANSWER && state != LINK_STATE_GIVEN_UP) {
    Fail("LinkState outside its values");
  }
  if (b.reader->SequenceBits & ~ULONG(SEQUENCE_BIT_SEND | SEQUENCE_BIT_RECEIVE)) {
    Fail("SequenceBits outside its bits");
  }
}

// One exchange with buffers of exactly the sizes given, so that ASan sees any access past them.
void Exchange(LinkBench& b, UCHAR dad, ULONG command_length, ULONG capacity, bool shared) {
  ULONG command_size = shared ? std::max(command_length, capacity) : command_length;
  std::unique_ptr<UCHAR[]> command(new UCHAR[command_size ? command_size : 1]);
  for (ULONG i = 0; i < command_size; ++i) command[i] = UCHAR(i);
  std::unique_ptr<UCHAR[]> own_reply;
  PUCHAR reply = command.get();
  if (!shared) {
    own_reply.reset(new UCHAR[capacity ? capacity : 1]);
    reply = own_reply.get();
  }
  UCHAR sad = T1_NODE_HOST;
  ULONG length = capacity;
  NTSTATUS status =
      T1Transceive(b.extension, &dad, &sad, command.get(), command_length, reply, &length);
  if (status == STATUS_SUCCESS) {
    if (length > capacity) Fail("reply longer than its buffer");
  } else if (length != capacity) {
    Fail("failed exchange changed the reply length");
  }
  if (status == STATUS_PENDING) Fail("exchange returned STATUS_PENDING");
  CheckLinkState(b);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The test serial line's expectations stop the run where they fail.
  GTEST_FLAG_SET(break_on_failure, true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return -1;
  const uint8_t operation = data[0];
  const UCHAR ifsc = UCHAR(data[1] % (T1_IFS_LARGEST + 1));
  const ULONG capacity = ULONG(data[2]) * 2;
  const ULONG command_length = ULONG(data[3]) * 2;
  Reader reader(data + 4, size - 4);

  host::kernel::RunResult result = test_support::RunWithLink(
      [&](LinkBench& b) {
        b.line->report_delivered = (operation & 0x40) == 0;
        b.line->on_write = [&](const Bytes& block) { reader.Answer(*b.line, block); };
        b.reader->LinkState = kLinkStates[(operation >> 2) & 3];
        b.reader->SequenceBits = (operation >> 4) & 3;
        switch (operation & 3) {
          case 0:
          case 1:
            Exchange(b, (operation & 3) == 0 ? T1_NODE_READER : T1_NODE_CARD, command_length,
                     capacity, (operation & 0x80) != 0);
            break;
          case 2:
            T1Resynch(b.extension);
            break;
          case 3:
            T1SetIfsd(b.extension, T1_IFS_LARGEST);
            break;
        }
        CheckLinkState(b);
        Exchange(b, T1_NODE_READER, 5, 64, false);
      },
      1, ifsc);
  if (!result.ok()) {
    std::fprintf(stderr, "fuzz_t1_receive: machine stopped: %s\n", result.report.c_str());
    std::abort();
  }
  return 0;
}
