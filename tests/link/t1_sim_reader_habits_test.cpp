// The driver's link against the simulated reader playing what real readers do: their own block
// sizes and addresses, S-requests anywhere in either chain, restarts, cards pulled out, their
// timing, their parity handling and their error answers, and what the line does to them.
// Each scenario asserts what the link's caller sees: status, answer and time.
#include "sim/line_trace.h"
#include "tests/link/sim_link_test_util.h"

using namespace sim_link_test;
using sim::ExchangePoint;
using sim::ScriptStep;

namespace {

void ExpectOk(const host::kernel::RunResult& r) { EXPECT_TRUE(r.ok()) << r.report; }

// WRITE PATTERN with n data bytes: the card answers 90 00 only when every byte came through.
Bytes WritePattern(size_t n) {
  Bytes b = {0x80, 0xF2, 0x00, 0x00, uint8_t(n)};
  for (size_t i = 0; i < n; ++i) b.push_back(uint8_t(i));
  return b;
}
const Bytes kSwOk = {0x90, 0x00};

// Powers the link up and the card on.
void CardReady(SimLink& link, UCHAR ifsd = 254) {
  ASSERT_EQ(link.PowerUp(ifsd), STATUS_SUCCESS);
  ASSERT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply, kBuiltinAtrAndReset);
}

}  // namespace

// The reader had asked for blocks of 16; after a resynchronisation both sizes are back where a
// link starts, so the host's blocks of 32 are taken.
TEST(ReaderHabits, ResynchronisationRestoresBothSizes) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    CardReady(link);
    link.reader().RequestIfsBeforeNextAnswer(16);
    ASSERT_EQ(link.Transceive(T1_NODE_CARD, WritePattern(20)).reply, kSwOk);
    EXPECT_EQ(link.reader_extension()->Ifsc, 16);
    link.line().reader_end().faults().Silence(k.Now(), k.Now() + Seconds(25));
    EXPECT_EQ(link.Transceive(T1_NODE_CARD, WritePattern(20)).status, STATUS_TIMEOUT);
    Sleep(Seconds(25));
    SimExchange x = link.Transceive(T1_NODE_CARD, WritePattern(60));
    EXPECT_EQ(x.status, STATUS_SUCCESS) << link.trace().BlockText();
    EXPECT_EQ(x.reply, kSwOk);
    EXPECT_EQ(link.reader_extension()->Ifsc, 32);
    EXPECT_EQ(link.reader().ifsc(), 254);
  }));
}
