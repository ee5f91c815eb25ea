// Test support: a far end that expects exact blocks from the link, in order, and answers each
// with exact bytes (or stays silent).
#pragma once
#include <deque>

#include "tests/support/test_serial_line.h"

namespace test_support {

struct ScriptStep {
  Bytes expect;  // the block the link must write
  Bytes answer;  // empty: silence
  host::kernel::Ticks delay = host::kernel::Milliseconds(5);
};

class ScriptedPeer {
 public:
  explicit ScriptedPeer(TestSerialLine& line);
  ScriptedPeer& Expect(const std::string& block, const std::string& answer = "",
                       host::kernel::Ticks delay = host::kernel::Milliseconds(5));
  // Every step was written.
  bool Done() const { return steps_.empty(); }
  size_t unexpected_writes() const { return unexpected_; }

 private:
  TestSerialLine& line_;
  std::deque<ScriptStep> steps_;
  size_t unexpected_ = 0;
};

// A block with its LRC appended: Block("00 C0 00") is 00 C0 00 C0.
Bytes Block(const std::string& prologue_and_inf);
std::string BlockHex(const std::string& prologue_and_inf);

}  // namespace test_support
