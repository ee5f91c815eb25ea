#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

namespace test_support {

ScriptedPeer::ScriptedPeer(TestSerialLine& line) : line_(line) {
  line_.on_write = [this](const Bytes& written) {
    if (steps_.empty()) {
      ++unexpected_;
      ADD_FAILURE() << "unexpected block written: " << ToHex(written);
      return;
    }
    ScriptStep step = steps_.front();
    steps_.pop_front();
    EXPECT_EQ(ToHex(written), ToHex(step.expect));
    if (!step.answer.empty()) line_.Send(step.answer, step.delay);
  };
}

ScriptedPeer& ScriptedPeer::Expect(const std::string& block, const std::string& answer,
                                   host::kernel::Ticks delay) {
  steps_.push_back({Hex(block), Hex(answer), delay});
  return *this;
}

Bytes Block(const std::string& prologue_and_inf) {
  Bytes b = Hex(prologue_and_inf);
  b.push_back(sim::t1::Lrc(b));
  return b;
}

std::string BlockHex(const std::string& prologue_and_inf) { return ToHex(Block(prologue_and_inf)); }

}  // namespace test_support
