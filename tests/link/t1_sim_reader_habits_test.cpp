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

// A reader that addresses its R- and S-blocks (NAD 21), chains its answers at its own sizes and
// sends S-requests anywhere in either chain, several in a row.
TEST(ReaderHabits, OwnBlockSizesAndSRequestsAnywhereInEitherChain) {
  SimLinkOptions options;
  options.reader.addressed_control_blocks = true;
  options.reader.answer_block_sizes = {10, 50, 32};
  ExpectOk(RunSimLink(
      [](Kernel&, SimLink& link) {
        CardReady(link);
        using enum ScriptStep::Action;
        const ExchangePoint host1{ExchangePoint::Chain::kHost, 1};
        const ExchangePoint host2{ExchangePoint::Chain::kHost, 2};
        const ExchangePoint host3{ExchangePoint::Chain::kHost, 3};
        const ExchangePoint answer1{ExchangePoint::Chain::kAnswer, 1};
        const ExchangePoint answer2{ExchangePoint::Chain::kAnswer, 2};
        link.reader().Script(
            {// Before the first command is carried out: WTX, IFS, WTX.
             {kWtx, 1, 0, host1, 1},
             {kIfs, 64, 0, host1, 1},
             {kWtx, 2, 0, host1, 1},
             // WTX 1 in place of the 2nd acknowledgement, IFS 16 in place of the 3rd.
             {kWtx, 1, 0, host2, 2},
             {kIfs, 16, 0, host3, 2},
             // IFS 16 after the 1st answer block, WTX, IFS, WTX after the 2nd.
             {kIfs, 16, 0, answer1, 3},
             {kWtx, 1, 0, answer2, 3},
             {kIfs, 200, 0, answer2, 3},
             {kWtx, 3, 0, answer2, 3}});
        EXPECT_EQ(link.Transceive(T1_NODE_CARD, WritePattern(200)).reply, kSwOk);
        EXPECT_EQ(link.reader_extension()->Ifsc, 64);
        SimExchange x = link.Transceive(T1_NODE_CARD, WritePattern(255));  // 4 x 64, then 16s
        EXPECT_EQ(x.reply, kSwOk) << link.trace().BlockText();
        x = link.Transceive(T1_NODE_CARD, ReadPattern(200));
        EXPECT_EQ(x.reply, PatternAnswer(200)) << link.trace().BlockText();
        EXPECT_EQ(x.sad, T1_NODE_CARD);
        EXPECT_EQ(link.reader_extension()->Ifsc, 200);
        int addressed_requests = 0;
        for (const sim::DecodedBlock& b : link.trace().Blocks()) {
          if (b.direction == sim::Direction::kReaderToHost && b.bytes[0] == 0x21 &&
              (b.bytes[1] & T1_PCB_TYPE_MASK) == T1_PCB_S_BLOCK) {
            ++addressed_requests;
          }
        }
        EXPECT_EQ(addressed_requests, 9 + 2);  // and the two answers to the power-up
      },
      options));
}

// A reader that restarts on its own (watchdog, brown-out) comes back with its sequence at 0, the
// card unpowered and the command lost. The link never takes its answer to the rest of a command
// for the answer to the command: the exchange fails, or the reader's own 64 A1 comes back.
TEST(ReaderHabits, AReaderThatRestartsInAChainIsNeverAnsweringAFragment) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    CardReady(link);
    // Blocks of 100 from now on, and both sequence numbers at 0: the next command goes out as
    // N(S) 0, 1, 0.
    link.reader().RequestIfsBeforeNextAnswer(100);
    ASSERT_EQ(link.Transceive(T1_NODE_READER, kGetStatus).reply, kStatusCardPowered);
    // Its second block is never acknowledged: the restarted reader asks for N(S) 0 with an error
    // code. Taken as an acknowledgement, the third block would be the reader's next command and
    // its 64 A1 to that fragment the answer.
    using enum ScriptStep::Action;
    link.reader().Script({{kRestart, 0, 0, {ExchangePoint::Chain::kHost, 2}, 1}});
    Ticks start = k.Now();
    SimExchange x = link.Transceive(T1_NODE_CARD, WritePattern(255));
    EXPECT_EQ(x.status, STATUS_DEVICE_PROTOCOL_ERROR) << link.trace().BlockText();
    EXPECT_LT(k.Now() - start, Seconds(7));
    EXPECT_EQ(link.reader().stats().restarts, 1u);
    // The link resynchronises; the card is unpowered, as the reader reports itself.
    x = link.Transceive(T1_NODE_CARD, WritePattern(255));
    EXPECT_EQ(x.reply, (Bytes{0x64, 0xA1}));
    EXPECT_EQ(x.sad, T1_NODE_READER);

    // Restarts in the last block of the host's chain and in the reader's answer chain.
    link.reader().Script({{kRestart, 0, 0, {ExchangePoint::Chain::kHost, 2}, 1},
                          {kRestart, 0, 0, {ExchangePoint::Chain::kAnswer, 1}, 2}});
    ASSERT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply, kBuiltinAtrAndReset);
    x = link.Transceive(T1_NODE_CARD, WritePattern(255));
    EXPECT_TRUE(x.status != STATUS_SUCCESS || x.sad == T1_NODE_READER) << ToHex(x.reply);
    link.Transceive(T1_NODE_READER, kResetCard);
    x = link.Transceive(T1_NODE_CARD, ReadPattern(300));
    EXPECT_EQ(x.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(link.reader().stats().restarts, 3u);
    // And the link is back.
    ASSERT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply, kBuiltinAtrAndReset);
    EXPECT_EQ(link.Transceive(T1_NODE_CARD, ReadPattern(300)).reply, PatternAnswer(300));
  }));
}
