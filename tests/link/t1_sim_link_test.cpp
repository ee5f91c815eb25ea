// The exchange engine on the simulated line and reader in single scenarios: a reader that falls
// silent, a character left over from a damaged block, and seeded runs that replay exactly.
#include "sim/line_trace.h"
#include "tests/link/sim_link_test_util.h"

using namespace sim_link_test;
using sim::DecodedBlock;
using sim::Direction;
using sim::LineEvent;

namespace {

void ExpectOk(const host::kernel::RunResult& r) { EXPECT_TRUE(r.ok()) << r.report; }

std::vector<std::string> HostBlocks(SimLink& link) {
  std::vector<std::string> out;
  for (const DecodedBlock& b : link.trace().Blocks({.view = LineEvent::Kind::kSent})) {
    if (b.direction == Direction::kHostToReader) out.push_back(ToHex(b.bytes));
  }
  return out;
}

}  // namespace

TEST(T1SimLink, SilentReaderIsGivenUpAndThenNothingIsSentUntilTheNextPowerUp) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    ASSERT_EQ(link.PowerUp(), STATUS_SUCCESS);
    ASSERT_EQ(link.Transceive(T1_NODE_READER, kGetStatus).reply, kStatusCardUnpowered);
    PREADER_EXTENSION r = link.reader_extension();

    // From now on nothing the reader sends reaches the host.
    link.line().reader_end().faults().Silence(k.Now(), k.Now() + Seconds(3600));
    link.trace().Clear();
    Ticks start = k.Now();
    SimExchange x = link.Transceive(T1_NODE_READER, kGetStatus);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    EXPECT_EQ(r->LinkState, ULONG(LINK_STATE_RESYNCH_DUE));
    // The command, then three R-blocks asking for the answer; each wait 1 x 500 + 5000 ms.
    std::vector<std::string> expected = {"12 40 05 20 13 00 80 00 E4", "00 92 00 92", "00 92 00 92",
                                         "00 92 00 92"};
    EXPECT_EQ(HostBlocks(link), expected);
    EXPECT_GE(k.Now() - start, 4 * Milliseconds(5500));

    // The next exchange resynchronises first: three S(RESYNCH request), then the link is given
    // up and the command is not sent.
    link.trace().Clear();
    x = link.Transceive(T1_NODE_READER, kGetStatus);
    EXPECT_EQ(x.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(r->LinkState, ULONG(LINK_STATE_GIVEN_UP));
    expected = {"00 C0 00 C0", "00 C0 00 C0", "00 C0 00 C0"};
    EXPECT_EQ(HostBlocks(link), expected);

    // Given up: the next exchange fails at once, without a byte on the line or a serial request.
    link.trace().Clear();
    link.serial().ClearRecord();
    start = k.Now();
    x = link.Transceive(T1_NODE_CARD, ReadPattern(10));
    EXPECT_EQ(x.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(k.Now(), start);
    Sleep(Milliseconds(100));
    EXPECT_TRUE(link.trace().events().empty());
    EXPECT_TRUE(link.serial().requests().empty());

    // A power-up with the reader silent still gives up; once it answers again the link is back.
    EXPECT_EQ(link.PowerUp(), STATUS_INVALID_DEVICE_STATE);
    link.line().reader_end().faults().Clear();
    ASSERT_EQ(link.PowerUp(), STATUS_SUCCESS);
    EXPECT_EQ(r->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_EQ(link.Transceive(T1_NODE_READER, kGetStatus).reply, kStatusCardUnpowered);
  }));
}

// A character inserted into an answer block makes it one byte longer than its LEN says. The
// host reads LEN + 4 bytes and finds the LRC wrong; the block's last byte is still on its way.
// Were it read as the NAD of the repeated block, that block would be taken one byte late: NAD =
// the old LRC, PCB = the block's NAD, LEN = its PCB, and whenever the block's PCB equals its LEN
// (a chained card block with N(S) 0 and 32 bytes, the IFSD a resynchronisation leaves: 20 20 20
// ...) the rotated block holds the same bytes, its XOR is zero and the answer would come back as
// success with that block's data shifted by one. The link waits for the line to fall quiet after
// a damaged block and refuses I-blocks not addressed to the host, so the repetition is read whole.
TEST(T1SimLink, AByteLeftOverFromADamagedBlockDoesNotShiftItsRepetition) {
  SimLinkOptions options;
  options.reader.block_waiting_time = Seconds(300);  // the reader keeps its chain meanwhile
  ExpectOk(RunSimLink(
      [](Kernel&, SimLink& link) {
        ASSERT_EQ(link.PowerUp(32), STATUS_SUCCESS);
        ASSERT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply, kBuiltinAtrAndReset);
        sim::LineFaults& faults = link.line().reader_end().faults();
        // The answer comes in blocks of 32: I(1,more), then I(0,more) = 20 20 20 ..., whose PCB
        // equals its LEN. One character too many inside that second block:
        faults.InsertAfter(faults.next_index() + 36 + 10, {0xBB});
        SimExchange x = link.Transceive(T1_NODE_CARD, ReadPattern(100));
        ASSERT_EQ(x.status, STATUS_SUCCESS) << link.trace().BlockText();
        EXPECT_EQ(ToHex(x.reply), ToHex(PatternAnswer(100))) << link.trace().BlockText();
      },
      options));
}

TEST(T1SimLink, ASeededRunOnADamagedLineReplaysExactly) {
  auto run = [] {
    std::string text;
    SimLinkOptions options;
    options.line_seed = 7;
    ExpectOk(RunSimLink(
        [&](Kernel&, SimLink& link) {
          ASSERT_EQ(link.PowerUp(64), STATUS_SUCCESS);
          link.line().converter_end().faults().SetBitErrorRate(1e-3);
          link.line().reader_end().faults().SetBitErrorRate(1e-3);
          link.Transceive(T1_NODE_READER, kResetCard);
          link.Transceive(T1_NODE_CARD, ReadPattern(400));
          text = link.trace().CharacterText();
        },
        options, 7));
    return text;
  };
  std::string first = run();
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, run());
}

// Two characters of one answer block damaged in the same data bit keep the block's XOR: the
// LRC cannot see it. Both characters arrive with parity errors: thrown away for them, they leave
// the block short; handed on with the values sampled, the serial routine reports their errors
// and the link takes the block as damaged. Either way it is asked for again. (A routine that
// neither drops nor reports them leaves the link with its LRC alone, which cannot tell.)
TEST(T1SimLink, TwoFlipsInOneBitColumnAreCaughtByTheCharacterErrors) {
  for (sim::CharacterErrors mode : {sim::CharacterErrors::kDrop, sim::CharacterErrors::kFlag}) {
    SimLinkOptions options;
    options.serial.damaged_characters = mode;
    ExpectOk(RunSimLink(
        [](Kernel&, SimLink& link) {
          ASSERT_EQ(link.PowerUp(), STATUS_SUCCESS);
          ASSERT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply, kBuiltinAtrAndReset);
          sim::LineFaults& faults = link.line().reader_end().faults();
          faults.FlipBits(faults.next_index() + 3 + 1, 0x40);   // pattern byte 1
          faults.FlipBits(faults.next_index() + 3 + 12, 0x40);  // pattern byte 12
          SimExchange x = link.Transceive(T1_NODE_CARD, ReadPattern(20));
          EXPECT_EQ(x.status, STATUS_SUCCESS);
          EXPECT_EQ(ToHex(x.reply), ToHex(PatternAnswer(20)));
          EXPECT_EQ(HostBlocks(link).back(), "00 91 00 91");  // asked for again, as damaged
        },
        options));
  }
}
