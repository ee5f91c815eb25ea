// The reader services against the simulated reader playing what real readers do to a card
// command: a card pulled out in the middle of it, and the reader's own error answers. Asserted on
// what an application sees: the request's status, its answer, the time it took.
#include <gtest/gtest.h>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "sim/cards/builtin_card.h"
#include "tests/support/reader_session.h"

using host::kernel::Kernel;
using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::kernel::Ticks;
using sim::ExchangePoint;
using sim::ScriptStep;
using test_support::ControlResult;
using test_support::ReaderSession;
using test_support::ReaderSessionOptions;
using Bytes = std::vector<uint8_t>;
using enum ScriptStep::Action;

namespace {

template <typename Body>
void WithSession(const ReaderSessionOptions& options, Body body) {
  Kernel k;
  host::io::IoManager io(k);
  host::smclib::SmartcardLibrary library(k);
  auto r = k.Run([&] {
    ReaderSession s(k, io, options);
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    body(k, s);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

void CardReady(ReaderSession& s) {
  ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  ASSERT_EQ(s.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
}

Bytes ReadPattern(size_t n) { return {0x80, 0xF0, uint8_t(n >> 8), uint8_t(n)}; }
Bytes WritePattern(size_t n) {
  Bytes b = {0x80, 0xF2, 0x00, 0x00, uint8_t(n)};
  for (size_t i = 0; i < n; ++i) b.push_back(uint8_t(i));
  return b;
}
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSwOk = {0x90, 0x00};

}  // namespace

// A card pulled out is deactivated on the switch: the command in progress ends at once with the
// reader's 64 A1, in the middle of the card's work or of either chain, and the card's own answer
// never comes.
TEST(ReaderHabits, ACardPulledOutEndsItsCommandAtOnce) {
  ReaderSessionOptions options;
  options.reader.removal_acts_at_once = true;
  options.reader.answer_block_sizes = {64};
  WithSession(options, [](Kernel& k, ReaderSession& s) {
    CardReady(s);
    s.rig().card()->SetProcessingTime(sim::kInsReadPattern, Seconds(3));
    Ticks start = k.Now();
    s.rig().reader().RemoveCardAt(start + Seconds(1));
    ControlResult r = s.Transmit(ReadPattern(16));
    EXPECT_EQ(r.status, STATUS_NO_MEDIA);
    EXPECT_TRUE(r.output.empty());
    EXPECT_LT(k.Now() - start, Milliseconds(1100));
    s.rig().card()->SetProcessingTime(sim::kInsReadPattern, 0);

    for (ExchangePoint at : {ExchangePoint{ExchangePoint::Chain::kHost, 1},
                             ExchangePoint{ExchangePoint::Chain::kAnswer, 1}}) {
      s.rig().reader().InsertCard(s.rig().card());
      CardReady(s);
      s.rig().reader().Script({{kRemoveCard, 0, 0, at, 1}});
      bool host_chain = at.chain == ExchangePoint::Chain::kHost;
      r = s.Transmit(host_chain ? WritePattern(255) : ReadPattern(200));
      EXPECT_EQ(r.status, STATUS_NO_MEDIA) << host_chain << "\n" << s.trace().BlockText();
      EXPECT_TRUE(r.output.empty());
    }
    // Nothing of the pulled card's answers is left to confuse the next command.
    s.rig().reader().InsertCard(s.rig().card());
    CardReady(s);
    EXPECT_EQ(s.Transmit(kSelectMf).output, kSwOk);
    EXPECT_EQ(s.Transmit(ReadPattern(200)).output.size(), 202u);
  });
}

// The reader's own error answers to card commands, as firmware gives them: after the host's
// whole chain, or after asking for more time first. The application gets the status for them
// and no answer bytes.
TEST(ReaderHabits, ReaderErrorAnswersBecomeStatuses) {
  WithSession({}, [](Kernel&, ReaderSession& s) {
    CardReady(s);
    const ExchangePoint last_of_two{ExchangePoint::Chain::kHost, 2};
    const ExchangePoint only{ExchangePoint::Chain::kHost, 1};
    const struct {
      uint16_t sw;
      bool chained;  // else after a WTX
      NTSTATUS status;
    } cases[] = {
        {0x6283, true, STATUS_INVALID_DEVICE_REQUEST},
        {0x6400, false, STATUS_DEVICE_PROTOCOL_ERROR},
        {0x64A0, false, STATUS_IO_TIMEOUT},
        {0x64A1, true, STATUS_NO_MEDIA},
        {0x6700, true, STATUS_INVALID_PARAMETER},
        {0x6F00, false, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& c : cases) {
      if (c.chained) {
        s.rig().reader().Script({{kReaderAnswer, 0, c.sw, last_of_two, 1}});
      } else {
        s.rig().reader().Script({{kWtx, 2, 0, only, 1}, {kReaderAnswer, 0, c.sw, only, 1}});
      }
      ControlResult r = s.Transmit(c.chained ? WritePattern(255) : kSelectMf);
      EXPECT_EQ(r.status, c.status) << std::hex << c.sw;
      EXPECT_TRUE(r.output.empty());
    }
    EXPECT_EQ(s.Transmit(kSelectMf).output, kSwOk);
    EXPECT_EQ(s.rig().reader().stats().wtx_requests, 3u);
  });
}

// A reader that stops retransmitting after two bad blocks in a row and answers nothing but
// S(RESYNCH) until then: the exchange fails as a reader that does not answer, and the next one,
// which resynchronises first, goes through.
TEST(ReaderHabits, AReaderThatFallsSilentAfterTwoBadBlocks) {
  ReaderSessionOptions options;
  options.reader.max_bad_blocks = 2;
  WithSession(options, [](Kernel& k, ReaderSession& s) {
    CardReady(s);
    sim::LineFaults& faults = s.rig().line().reader_end().faults();
    for (uint64_t block = 0; block < 3; ++block) {  // 20 00 02 90 00 LRC, three times
      faults.FlipBits(faults.next_index() + 6 * block + 3, 0x01);
    }
    Ticks start = k.Now();
    EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_IO_TIMEOUT);
    EXPECT_LT(k.Now() - start, Seconds(12));
    EXPECT_EQ(s.rig().reader().stats().mute_periods, 1u);
    EXPECT_EQ(s.Transmit(kSelectMf).output, kSwOk);
  });
}

// A reader deaf while its card works (and without WTX): the host gives the command up, and its
// resynchronisation is not heard either until the card is done. The card's late answer is never
// taken for the answer to the next command.
TEST(ReaderHabits, AReaderDeafWhileItsCardWorks) {
  ReaderSessionOptions options;
  options.reader.deaf_while_card_works = true;
  options.reader.wtx_enabled = false;
  WithSession(options, [](Kernel& k, ReaderSession& s) {
    CardReady(s);
    s.rig().card()->SetProcessingTime(sim::kInsReadPattern, Seconds(25));
    EXPECT_EQ(s.Transmit(ReadPattern(4)).status, STATUS_IO_TIMEOUT);
    s.rig().card()->SetProcessingTime(sim::kInsReadPattern, 0);
    Ticks start = k.Now();
    EXPECT_EQ(s.Transmit(ReadPattern(8)).output, Bytes({0, 1, 2, 3, 4, 5, 6, 7, 0x90, 0x00}));
    EXPECT_LT(k.Now() - start, Seconds(12));
    EXPECT_GT(s.rig().reader().stats().lost_characters, 0u);
  });
}
