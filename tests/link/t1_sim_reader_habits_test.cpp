// The driver's link against the simulated reader playing what real readers do: their own block
// sizes and addresses, S-requests anywhere in either chain, restarts, cards pulled out, their
// timing, their parity handling and their error answers, and what the line does to them.
// Each scenario asserts what the link's caller sees: status, answer and time.
#include "sim/line_trace.h"
#include "sim/reader_profile.h"
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

// R-blocks the host wrote to report a damaged or missing block.
int HostErrorRBlocks(SimLink& link) {
  int n = 0;
  for (const test_support::SerialRequestRecord& r : link.serial().requests()) {
    n += r.code == SMARTCARD_WRITE && r.data.size() > T1_OFFSET_PCB &&
         (r.data[T1_OFFSET_PCB] & T1_PCB_TYPE_MASK) == T1_PCB_R_BLOCK &&
         (r.data[T1_OFFSET_PCB] & T1_PCB_R_CODE_BITS) != 0;
  }
  return n;
}

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
          if (b.direction == sim::Direction::kReaderToHost &&
              b.bytes[0] == sim::t1::kNadReaderToHost &&
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

// Timing as a real reader has it: a turnaround of 1 to 20 ms before each block, pauses of up to
// its character waiting time between characters, a card that takes 2 s plus 12 etu per byte at
// 9600 bit/s (an answer of 3500 bytes needs WTX nobody scripted), its WTX requests early or late
// by up to 500 ms around the host's wait (some cross the host's R-block), and a clock from a card
// oscillator: 3.579545 MHz / 372 = 9622 bit/s. A cheap reader's clock 3 % slow does as well.
TEST(ReaderHabits, RealTiming) {
  SimLinkOptions options;
  options.reader.turnaround_min = Milliseconds(1);
  options.reader.turnaround_max = Milliseconds(20);
  options.reader.character_gap_max = options.reader.char_waiting_time;
  options.reader.card_time_base = Seconds(2);
  options.reader.card_byte_time = sim::CardByteTime(9600);
  options.reader.wtx_after = Milliseconds(5500);
  options.reader.wtx_jitter = Milliseconds(500);
  options.reader.clock_error_ppm = 2331;
  ExpectOk(RunSimLink(
      [](Kernel& k, SimLink& link) {
        CardReady(link);
        EXPECT_EQ(link.line().reader_end().settings().bit_rate, 9622u);
        for (size_t n : {size_t(3500), size_t(20), size_t(3500)}) {
          Ticks start = k.Now();
          SimExchange x = link.Transceive(T1_NODE_CARD, ReadPattern(n), 4096);
          ASSERT_EQ(x.status, STATUS_SUCCESS) << n;
          EXPECT_EQ(x.reply, PatternAnswer(n));
          // The card's time, and at most the longest pauses on every character.
          Ticks card = Seconds(2) + Ticks(n + 6) * sim::CardByteTime(9600);
          EXPECT_GT(k.Now() - start, card);
          EXPECT_LT(k.Now() - start, card + Ticks(n + 100) * Milliseconds(102) + Seconds(6));
        }
        EXPECT_GE(link.reader().stats().wtx_requests, 2u);
        EXPECT_GE(HostErrorRBlocks(link), 1);  // a WTX came after the host's wait
      },
      options));
  options = {};
  options.reader.clock_error_ppm = -30000;
  ExpectOk(RunSimLink(
      [](Kernel&, SimLink& link) {
        CardReady(link);
        EXPECT_EQ(link.line().reader_end().settings().bit_rate, 9312u);
        EXPECT_EQ(link.Transceive(T1_NODE_CARD, WritePattern(255)).reply, kSwOk);
        EXPECT_EQ(link.Transceive(T1_NODE_CARD, ReadPattern(300)).reply, PatternAnswer(300));
        EXPECT_EQ(HostErrorRBlocks(link), 0);
      },
      options));
}

// How the reader treats a host character with a parity error: flagged, it answers R(EDC) at once;
// ignored, its LRC still finds one bit wrong; dropped, the block is short and the reader waits
// for the rest, so the host asks again after its block waiting time.
TEST(ReaderHabits, ParityErrorsFlaggedIgnoredOrDroppedByTheReader) {
  for (sim::CharacterErrors mode :
       {sim::CharacterErrors::kFlag, sim::CharacterErrors::kIgnore, sim::CharacterErrors::kDrop}) {
    SimLinkOptions options;
    options.reader.parity = mode;
    ExpectOk(RunSimLink(
        [mode](Kernel& k, SimLink& link) {
          CardReady(link);
          sim::LineFaults& faults = link.line().converter_end().faults();
          faults.FlipBits(faults.next_index() + 5, 0x10);
          Ticks start = k.Now();
          EXPECT_EQ(link.Transceive(T1_NODE_CARD, WritePattern(20)).reply, kSwOk);
          bool waited = mode == sim::CharacterErrors::kDrop;
          EXPECT_EQ(k.Now() - start > Seconds(5), waited);
          EXPECT_LT(k.Now() - start, Seconds(6));
          EXPECT_EQ(HostErrorRBlocks(link), waited ? 1 : 0);
        },
        options));
  }
}

// A reader that hears nothing while it sends nor for its guard time of 22 etu after, and answers
// after 1 to 20 ms. The converter path's own turnaround (1 to 11 ms) is sometimes shorter than
// the guard: those blocks lose their first characters, and the link asks again.
TEST(ReaderHabits, HostBlocksLostInTheGuardTimeAreSentAgain) {
  SimLinkOptions options;
  options.reader.guard_time = Ticks(22 * host::kernel::kTicksPerSecond / 9600);
  options.reader.turnaround_min = Milliseconds(1);
  options.reader.turnaround_max = Milliseconds(20);
  options.serial.turnaround_min = Milliseconds(1);
  options.serial.turnaround_max = Milliseconds(11);
  ExpectOk(RunSimLink(
      [](Kernel& k, SimLink& link) {
        CardReady(link, 64);
        for (int i = 0; i < 8; ++i) {
          Ticks start = k.Now();
          EXPECT_EQ(link.Transceive(T1_NODE_CARD, ReadPattern(300)).reply, PatternAnswer(300));
          EXPECT_LT(k.Now() - start, Seconds(20));
        }
        EXPECT_GT(link.reader().stats().lost_characters, 0u);
      },
      options));
}

// Line faults of real serial lines, each in the middle of answers: phantom start bits on the idle
// line either way, a burst of noise, a break, a line stuck at space, a character injected with a
// bad parity bit, an echo of the host's own bytes. Every exchange brings back its answer or fails
// with a status; the link asks for what was damaged, and once the line is sound it works again.
TEST(ReaderHabits, LineFaultsNeverCorruptAnAnswer) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    CardReady(link, 64);
    sim::SerialLine::End& to_host = link.line().reader_end();
    sim::SerialLine::End& to_reader = link.line().converter_end();
    const std::function<void(Ticks)> faults[] = {
        [&](Ticks t) { to_host.NoiseBetween(t, t + Seconds(2), 20); },
        [&](Ticks t) { to_reader.NoiseBetween(t, t + Seconds(2), 20); },
        [&](Ticks t) { to_host.faults().Burst(t + Milliseconds(50), t + Milliseconds(80), 0.05); },
        [&](Ticks t) { to_host.BreakBetween(t + Milliseconds(50), t + Milliseconds(350)); },
        [&](Ticks t) { to_reader.BreakBetween(t, t + Seconds(30)); },  // stuck at space
        [&](Ticks t) { to_host.InjectAt(t + Milliseconds(100), 0x55, true); },
        [&](Ticks t) { to_reader.faults().Echo(t, t + Milliseconds(300)); },
    };
    for (size_t i = 0; i < std::size(faults); ++i) {
      const auto& fault = faults[i];
      int errors = HostErrorRBlocks(link);
      Ticks start = k.Now();
      fault(start);
      for (Ticks end = start + Seconds(2); k.Now() < end || k.Now() == start;) {
        SimExchange x = link.Transceive(T1_NODE_CARD, ReadPattern(200));
        EXPECT_TRUE(x.status != STATUS_SUCCESS || x.reply == PatternAnswer(200)) << ToHex(x.reply);
      }
      EXPECT_GT(HostErrorRBlocks(link), errors) << "fault " << i << " must reach the link";
      Sleep(Seconds(30));
      EXPECT_EQ(link.Transceive(T1_NODE_CARD, ReadPattern(200)).reply, PatternAnswer(200));
    }
  }));
}

// A DTR drop of 20 ms in the middle of an exchange: a reader with its own supply rides through
// it, and the exchange does not notice.
TEST(ReaderHabits, AShortDtrDropIsRiddenThroughByAReaderWithItsOwnSupply) {
  SimLinkOptions options;
  options.reader.dtr_holdup = Milliseconds(100);
  ExpectOk(RunSimLink(
      [](Kernel& k, SimLink& link) {
        CardReady(link);
        link.line().DropDtr(k.Now() + Milliseconds(50), Milliseconds(20));
        EXPECT_EQ(link.Transceive(T1_NODE_CARD, ReadPattern(200)).reply, PatternAnswer(200));
        EXPECT_EQ(link.reader().stats().boots, 1u);
        // One that lasts powers it down: the card with it.
        link.line().DropDtr(k.Now(), Milliseconds(150));
        Sleep(Milliseconds(400));
        EXPECT_EQ(link.reader().stats().boots, 2u);
        EXPECT_FALSE(link.reader().card_powered());
      },
      options));
}

// A line that echoes the host's bytes brings a resynchronisation's request back before the
// response of a reader that takes its time: the link reads on instead of using up its attempts
// and giving up.
TEST(ReaderHabits, AnEchoDoesNotUseUpAResynchronisation) {
  SimLinkOptions options;
  options.reader = sim::RealisticProfile().options;
  ExpectOk(RunSimLink(
      [](Kernel& k, SimLink& link) {
        CardReady(link);
        link.line().reader_end().faults().Silence(k.Now(), k.Now() + Seconds(25));
        EXPECT_EQ(link.Transceive(T1_NODE_CARD, ReadPattern(10)).status, STATUS_TIMEOUT);
        Sleep(Seconds(25));
        link.line().converter_end().faults().Echo(k.Now(), k.Now() + Seconds(1));
        SimExchange x = link.Transceive(T1_NODE_CARD, ReadPattern(10));
        EXPECT_NE(x.status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_NE(link.reader_extension()->LinkState, ULONG(LINK_STATE_GIVEN_UP));
        Sleep(Seconds(1));
        EXPECT_EQ(link.Transceive(T1_NODE_CARD, ReadPattern(10)).reply, PatternAnswer(10));
      },
      options));
}
