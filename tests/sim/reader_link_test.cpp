// The reader's T=1 link, driven from a scripted host on the converter end.
#include <gtest/gtest.h>

#include "rig_helpers.h"
#include "sim/cards/scripted_card.h"
#include "sim/reader_protocol.h"

namespace sim {
namespace {

using host::kernel::Kernel;
using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::kernel::Ticks;
using testing::Bytes;
using testing::Sleep;
using testing::WithRig;
using Status = T1Host::Received::Status;

const std::vector<uint8_t> kGetStatusBlock{0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4};

TEST(ReaderLink, GetStatusBlockIsAnsweredByTheReader) {
  WithRig([](Kernel&, ReaderRig& rig) {
    rig.PowerUp();
    rig.host().SendRaw(kGetStatusBlock);
    auto r = rig.host().ReceiveBlock(Seconds(1));
    ASSERT_EQ(r.status, Status::kOk);
    // NAD 21, I(0), 80 01 S 90 00 with S = card present, not powered.
    EXPECT_EQ(r.bytes, Bytes({0x21, 0x00, 0x05, 0x80, 0x01, 0x01, 0x90, 0x00, 0x34}));
    std::string text = rig.trace().BlockText();
    EXPECT_NE(text.find("host->reader 12 00 05 20 13 00 80 00 A4  I(0,no more) NAD 12 "
                        "INF=20 13 00 80 00 LRC ok"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("reader->host 21 00 05 80 01 01 90 00 34  I(0,no more) NAD 21 "
                        "INF=80 01 01 90 00 LRC ok"),
              std::string::npos)
        << text;
    // The next command with N(S) 1, once the card is powered: S says present and powered.
    rig.host().ns = rig.host().nr = 1;
    auto reset = rig.host().Transceive(t1::kNadHostToReader, {0x20, 0x10, 0x01, 0x01});
    ASSERT_TRUE(reset.ok) << reset.error;
    auto status = rig.host().Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00});
    EXPECT_EQ(status.nad, t1::kNadReaderToHost);
    EXPECT_EQ(status.data, Bytes({0x80, 0x01, 0x05, 0x90, 0x00}));
  });
}

TEST(ReaderLink, PowerFollowsDtr) {
  WithRig([](Kernel& k, ReaderRig& rig) {
    T1Host& host = rig.host();
    host.SendRaw(kGetStatusBlock);  // DTR low: the reader is off
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).status, Status::kTimeout);
    EXPECT_FALSE(rig.reader().booted());

    rig.line().SetDtr(true);
    Sleep(Milliseconds(50));  // still booting
    host.SendRaw(kGetStatusBlock);
    EXPECT_EQ(host.ReceiveBlock(Milliseconds(500)).status, Status::kTimeout);
    EXPECT_TRUE(rig.reader().booted());
    EXPECT_TRUE(rig.line().dsr());

    Ticks sent = k.Now();
    host.SendRaw(kGetStatusBlock);
    auto r = host.ReceiveBlock(Seconds(1));
    ASSERT_EQ(r.status, Status::kOk);
    // 9 characters each way at 11/9600 s, and the reader's command time.
    EXPECT_EQ(k.Now() - sent, 2 * 103125 + Milliseconds(1));

    // A second command uses N(S) 1; after a DTR cycle the link starts again at 0.
    host.ns = 1;
    host.nr = 1;
    ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00}).ok);
    rig.line().SetDtr(false);
    Sleep(Milliseconds(10));
    EXPECT_FALSE(rig.reader().booted());
    EXPECT_FALSE(rig.line().dsr());
    host.SendRaw(kGetStatusBlock);
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).status, Status::kTimeout);
    rig.PowerUp();
    host.SendRaw(kGetStatusBlock);
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).status, Status::kOk);
    EXPECT_EQ(rig.reader().stats().boots, 2u);
  });
}

TEST(ReaderLink, DriverDtrCycleBootsOnceAndTheLinkComesUp) {
  WithRig([](Kernel&, ReaderRig& rig) {
    // One clear, then seven sets 250 ms apart, as the link bring-up does.
    rig.line().SetDtr(false);
    Sleep(Milliseconds(50));
    for (int i = 0; i < 7; ++i) {
      rig.line().SetDtr(true);
      Sleep(Milliseconds(250));
    }
    EXPECT_EQ(rig.reader().stats().boots, 1u);
    auto counters = rig.line().modem_counters();
    EXPECT_EQ(counters.dtr_off_requests, 1u);
    EXPECT_EQ(counters.dtr_on_requests, 7u);
    EXPECT_TRUE(rig.host().Resynch());
    EXPECT_TRUE(rig.host().SetIfsd(254));
    EXPECT_TRUE(rig.host().Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00}).ok);
  });
}

TEST(ReaderLink, ResynchResetsSequenceNumbersAndSizes) {
  WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp(200));
    T1Host& host = rig.host();
    EXPECT_EQ(rig.reader().ifsd(), 200);
    ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00}).ok);
    EXPECT_EQ(host.ns, 1);
    host.SendRaw(Bytes({0x00, 0xC0, 0x00, 0xC0}));
    auto r = host.ReceiveBlock(Seconds(1));
    EXPECT_EQ(r.bytes, Bytes({0x00, 0xE0, 0x00, 0xE0}));
    EXPECT_EQ(rig.reader().ifsd(), t1::kDefaultIfs);
    host.SendRaw(kGetStatusBlock);  // N(S) 0 again
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).status, Status::kOk);
  });
}

TEST(ReaderLink, IfsRequestIsAnsweredAndBadSizesRefused) {
  WithRig([](Kernel&, ReaderRig& rig) {
    rig.PowerUp();
    T1Host& host = rig.host();
    host.SendRaw(Bytes({0x00, 0xC1, 0x01, 0xFE, 0x3E}));
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, Bytes({0x00, 0xE1, 0x01, 0xFE, 0x1E}));
    EXPECT_EQ(rig.reader().ifsd(), 254);
    host.SendRaw(Bytes({0x00, 0xC1, 0x01, 0xFF, 0x3F}));  // 255 is reserved
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, Bytes({0x00, 0x82, 0x00, 0x82}));
    EXPECT_EQ(rig.reader().ifsd(), 254);
  });
}

// Every I-block the reader sent, with its INF size.
std::vector<DecodedBlock> ReaderIBlocks(ReaderRig& rig) {
  std::vector<DecodedBlock> out;
  for (auto& b : rig.trace().Blocks()) {
    if (b.direction == Direction::kReaderToHost && b.bytes.size() > 2 && !(b.bytes[1] & 0x80)) {
      out.push_back(b);
    }
  }
  return out;
}

TEST(ReaderLink, LongCardAnswerIsChainedWithinTheAnnouncedIfsd) {
  for (uint8_t ifsd : {uint8_t(254), uint8_t(100)}) {
    WithRig([ifsd](Kernel&, ReaderRig& rig) {
      ASSERT_TRUE(rig.BringUp(ifsd));
      T1Host& host = rig.host();
      ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x10, 0x01, 0x01}).ok);
      rig.trace().Clear();
      auto reply = host.Transceive(t1::kNadHostToCard, {0x80, 0xF0, 0x01, 0x2C});  // 300 bytes
      ASSERT_TRUE(reply.ok) << reply.error;
      EXPECT_EQ(reply.nad, t1::kNadCardToHost);
      ASSERT_EQ(reply.data.size(), 302u);
      for (size_t i = 0; i < 300; ++i) ASSERT_EQ(reply.data[i], uint8_t(i));
      EXPECT_EQ(reply.data[300], 0x90);
      auto blocks = ReaderIBlocks(rig);
      size_t expected_blocks = (302 + ifsd - 1) / ifsd;
      ASSERT_EQ(blocks.size(), expected_blocks);
      for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].bytes[0], t1::kNadCardToHost);
        EXPECT_LE(blocks[i].bytes[2], ifsd);
        bool more = blocks[i].bytes[1] & t1::kPcbIMore;
        EXPECT_EQ(more, i + 1 < blocks.size());
        if (more) {
          EXPECT_EQ(blocks[i].bytes[2], ifsd);
        }
      }
      // The host acknowledged every chained block with the next N(S) it expects.
      int acks = 0;
      for (auto& b : rig.trace().Blocks()) {
        if (b.direction == Direction::kHostToReader && (b.bytes[1] & 0xC0) == 0x80) ++acks;
      }
      EXPECT_EQ(acks, int(expected_blocks) - 1);
    });
  }
}

TEST(ReaderLink, ChainedCommandIsAcknowledgedAndTooLongBlocksRefused) {
  ReaderRigOptions options;
  options.reader.ifsc = 16;
  options.insert_card = false;
  WithRig(
      [](Kernel&, ReaderRig& rig) {
        auto card = std::make_shared<ScriptedCard>(BuiltinCard::DualProtocolAtr());
        std::vector<uint8_t> command{0x00, 0xD6, 0x00, 0x00, 36};
        for (int i = 0; i < 36; ++i) command.push_back(uint8_t(0xA0 + i));
        card->Expect(command, {0x90, 0x00});
        rig.reader().InsertCard(card);
        ASSERT_TRUE(rig.BringUp());
        T1Host& host = rig.host();
        EXPECT_EQ(host.ifsc, 16);
        ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x10, 0x01, 0x01}).ok);
        rig.trace().Clear();
        auto reply = host.Transceive(t1::kNadHostToCard, command);  // 41 bytes: 16 + 16 + 9
        ASSERT_TRUE(reply.ok) << reply.error;
        EXPECT_EQ(reply.data, Bytes({0x90, 0x00}));
        EXPECT_TRUE(card->mismatches().empty());
        std::vector<std::string> from_reader;
        for (auto& b : rig.trace().Blocks()) {
          if (b.direction == Direction::kReaderToHost) from_reader.push_back(t1::Hex(b.bytes));
        }
        // Host N(S) 1, 0, 1: acknowledged with R(0) and R(1), then the card's answer.
        ASSERT_EQ(from_reader.size(), 3u);
        EXPECT_EQ(from_reader[0], "00 80 00 80");
        EXPECT_EQ(from_reader[1], "00 90 00 90");

        // 17 bytes in one block exceed the reader's IFSC.
        std::vector<uint8_t> big(17, 0x11);
        host.SendBlock(t1::MakeI(t1::kNadHostToCard, host.ns, false, big));
        auto r = host.ReceiveBlock(Seconds(1));
        ASSERT_EQ(r.status, Status::kOk);
        EXPECT_EQ(r.block, t1::MakeR(host.ns, t1::RCode::kOtherError));
      },
      options);
}

TEST(ReaderLink, DamagedBlocksAreRecoveredWithRBlocks) {
  WithRig([](Kernel&, ReaderRig& rig) {
    rig.PowerUp();
    T1Host& host = rig.host();
    // The host's block arrives damaged (parity): R(0, EDC error).
    auto& to_reader = rig.line().converter_end().faults();
    to_reader.FlipBits(to_reader.next_index() + 4, 0x04);
    host.SendRaw(kGetStatusBlock);
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, Bytes({0x00, 0x81, 0x00, 0x81}));
    // A wrong LRC gives the same.
    host.SendRaw(Bytes({0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA5}));
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, Bytes({0x00, 0x81, 0x00, 0x81}));
    // The reader's answer arrives damaged: the host asks again and gets the same block.
    auto& to_host = rig.line().reader_end().faults();
    to_host.FlipBits(to_host.next_index() + 5, 0x80);
    host.SendRaw(kGetStatusBlock);
    auto damaged = host.ReceiveBlock(Seconds(1));
    EXPECT_EQ(damaged.status, Status::kDamaged);
    host.SendRaw(Bytes({0x00, 0x81, 0x00, 0x81}));
    auto again = host.ReceiveBlock(Seconds(1));
    ASSERT_EQ(again.status, Status::kOk);
    EXPECT_EQ(again.bytes, Bytes({0x21, 0x00, 0x05, 0x80, 0x01, 0x01, 0x90, 0x00, 0x34}));
    // A lost answer: the host's R(0, other error) brings it back as well.
    host.SendRaw(Bytes({0x00, 0x82, 0x00, 0x82}));
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, again.bytes);
    auto stats = rig.reader().stats();
    EXPECT_EQ(stats.damaged_blocks, 2u);
    EXPECT_EQ(stats.resends, 2u);
    EXPECT_EQ(stats.reader_commands, 1u);  // the resends did not run the command again
  });
}

TEST(ReaderLink, BlockCutShortIsDiscarded) {
  WithRig([](Kernel&, ReaderRig& rig) {
    rig.PowerUp();
    T1Host& host = rig.host();
    host.SendRaw(std::span(kGetStatusBlock).first(4));
    EXPECT_EQ(host.ReceiveBlock(Milliseconds(300)).status, Status::kTimeout);  // no answer
    host.SendRaw(kGetStatusBlock);
    auto r = host.ReceiveBlock(Seconds(1));
    EXPECT_EQ(r.status, Status::kOk);
    EXPECT_EQ(rig.reader().stats().discarded_partials, 1u);
  });
}

TEST(ReaderLink, SlowCardGetsWaitingTimeExtensions) {
  WithRig([](Kernel& k, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    T1Host& host = rig.host();
    ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x10, 0x01, 0x01}).ok);
    rig.card()->SetProcessingTime(kInsReadPattern, Seconds(10));
    Ticks start = k.Now();
    auto reply = host.Transceive(t1::kNadHostToCard, {0x80, 0xF0, 0x00, 0x04});
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.data, Bytes({0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));
    EXPECT_GE(k.Now() - start, Seconds(10));
    EXPECT_EQ(reply.wtx_requests, 1);  // at 4 s; the next would be due at 12 s
    EXPECT_NE(rig.trace().BlockText().find("reader->host 00 C3 01 02 C0  S(WTX request)"),
              std::string::npos);
    // Scripted: one WTX before the next answer, whatever its timing.
    rig.reader().SendWtxBeforeNextAnswer(5);
    reply = host.Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00});
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.wtx_requests, 1);
  });
}

TEST(ReaderLink, WithoutWtxASlowCardTimesOutTheHost) {
  ReaderRigOptions options;
  options.reader.wtx_enabled = false;
  WithRig(
      [](Kernel&, ReaderRig& rig) {
        ASSERT_TRUE(rig.BringUp());
        T1Host& host = rig.host();
        ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x10, 0x01, 0x01}).ok);
        rig.card()->SetProcessingTime(kInsReadPattern, Seconds(8));
        host.SendBlock(
            t1::MakeI(t1::kNadHostToCard, host.ns, false, Bytes({0x80, 0xF0, 0x00, 0x04})));
        EXPECT_EQ(host.ReceiveBlock(Seconds(5)).status, Status::kTimeout);
        EXPECT_EQ(host.ReceiveBlock(Seconds(5)).status, Status::kOk);  // late, at 8 s
      },
      options);
}

TEST(ReaderLink, AbortRequestsBothWays) {
  WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp(100));
    T1Host& host = rig.host();
    ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x10, 0x01, 0x01}).ok);

    // The reader gives up its own answer chain after the first block is acknowledged.
    rig.reader().AbortNextAnswerChain();
    auto reply = host.Transceive(t1::kNadHostToCard, {0x80, 0xF0, 0x01, 0x2C});
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.nad, t1::kNadReaderToHost);
    EXPECT_EQ(reply.data, Bytes({0x64, 0x00}));
    EXPECT_NE(rig.trace().BlockText().find("reader->host 00 C2 00 C2  S(ABORT request)"),
              std::string::npos);

    // The host aborts the reader's chain: S(ABORT response), and the link goes on.
    host.SendBlock(t1::MakeI(t1::kNadHostToCard, host.ns, false, Bytes({0x80, 0xF0, 0x01, 0x2C})));
    auto first = host.ReceiveBlock(Seconds(1));
    ASSERT_EQ(first.status, Status::kOk);
    EXPECT_TRUE(first.block.more());
    host.ns ^= 1;
    host.nr ^= 1;
    host.SendRaw(Bytes({0x00, 0xC2, 0x00, 0xC2}));
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, Bytes({0x00, 0xE2, 0x00, 0xE2}));
    EXPECT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00}).ok);

    // The reader aborts the host's chain: S(ABORT request), then it acknowledges.
    rig.reader().AbortNextHostChain();
    host.ifsc = 4;
    reply = host.Transceive(t1::kNadHostToCard, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, "the reader aborted the command");
    host.ifsc = 254;
    reply = host.Transceive(t1::kNadHostToCard, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.data, Bytes({0x90, 0x00}));
  });
}

TEST(ReaderLink, ReaderIfsRequestChangesWhatTheHostMaySend) {
  WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    rig.reader().RequestIfsBeforeNextAnswer(0x20);
    auto reply = rig.host().Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00});
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(rig.host().ifsc, 0x20);
    EXPECT_EQ(rig.reader().ifsc(), 0x20);
    EXPECT_NE(rig.trace().BlockText().find("reader->host 00 C1 01 20 E0  S(IFS request)"),
              std::string::npos);
  });
}

TEST(ReaderLink, RateSwitchAndMismatch) {
  WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    T1Host& host = rig.host();
    auto reply =
        host.Transceive(t1::kNadHostToReader, {0x80, 0x60, 0x00, 0x00, 0x03, 0x11, 0x01, 0x03});
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.data, Bytes({0x90, 0x00}));
    Sleep(Milliseconds(5));
    // The reader now listens at 38400; the host is still at 9600: garbage, no answer.
    UartSettings s = rig.line().reader_end().settings();
    EXPECT_EQ(s.bit_rate, 38400u);
    host.max_errors = 1;
    auto garbled = host.Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00});
    EXPECT_FALSE(garbled.ok);
    EXPECT_GT(rig.reader().stats().damaged_blocks + rig.reader().stats().discarded_partials, 0u);
    // At the reader's rate the link works again after a resynchronisation.
    s = rig.line().converter_end().settings();
    s.bit_rate = 38400;
    rig.line().converter_end().Configure(s);
    ASSERT_TRUE(host.Resynch());
    EXPECT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00}).ok);
    // Codes beyond the table are refused and change nothing.
    reply = host.Transceive(t1::kNadHostToReader, {0x80, 0x60, 0x00, 0x00, 0x03, 0x11, 0x01, 0x06});
    EXPECT_EQ(reply.data, Bytes({0x6A, 0x00}));
    EXPECT_EQ(rig.line().reader_end().settings().bit_rate, 38400u);
    // A DTR cycle brings the reader back to 9600.
    rig.line().SetDtr(false);
    Sleep(Milliseconds(10));
    rig.PowerUp();
    EXPECT_EQ(rig.line().reader_end().settings().bit_rate, 9600u);
  });
}

TEST(ReaderLink, RefusedRateCodeByConfiguration) {
  ReaderRigOptions options;
  options.reader.rate_codes_accepted = 0x1F;  // no 115200
  WithRig(
      [](Kernel&, ReaderRig& rig) {
        ASSERT_TRUE(rig.BringUp());
        auto reply = rig.host().Transceive(t1::kNadHostToReader,
                                           {0x80, 0x60, 0x00, 0x00, 0x03, 0x11, 0x01, 0x05});
        EXPECT_EQ(reply.data, Bytes({0x6A, 0x00}));
        EXPECT_EQ(rig.line().reader_end().settings().bit_rate, 9600u);
      },
      options);
}

}  // namespace
}  // namespace sim
