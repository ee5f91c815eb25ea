// The block exchange engine against a scripted reader: exact blocks, chaining, R- and S-blocks,
// retries and the link state.
#include "tests/link/link_test_util.h"

using namespace link_test;
using host::kernel::Milliseconds;
using host::kernel::Seconds;
using test_support::ScriptedPeer;

namespace {

const Bytes kCardStatus = {0x20, 0x13, 0x00, 0x80, 0x00};

Bytes Sequence(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
  return b;
}

// A block with the bytes as hex after the given prologue.
std::string WithInf(const std::string& prologue, const Bytes& inf) {
  return prologue + " " + ToHex(inf);
}

}  // namespace

TEST(T1Transceive, CardStatusGoesOutAsTheExpectedBlocksWithAlternatingSequence) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 00 05 80 01 05 90 00"))
        .Expect("12 40 05 20 13 00 80 00 E4", BlockHex("21 40 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "80 01 05 90 00");
    EXPECT_EQ(x.dad, T1_NODE_HOST);
    EXPECT_EQ(x.sad, T1_NODE_READER);
    Exchange y = Transceive(b, kCardStatus);
    EXPECT_EQ(y.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(y.reply), "90 00");
    EXPECT_EQ(b.reader->SequenceBits, 0u);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, DamagedAnswerIsAnsweredWithEdcErrorRBlock) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    Bytes damaged = Block("21 00 02 90 00");
    damaged[3] ^= 0x01;
    peer.Expect("12 00 05 20 13 00 80 00 A4", ToHex(damaged))
        .Expect("00 81 00 81", BlockHex("21 00 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "90 00");
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, CommandOfExactlyIfscBytesIsOneBlockAndOneMoreIsChained) {
  ExpectOk(test_support::RunWithLink(
      [](LinkBench& b) {
        ScriptedPeer peer(*b.line);
        peer.Expect(BlockHex(WithInf("12 00 04", Sequence(4))), BlockHex("21 00 01 AA"));
        EXPECT_EQ(Transceive(b, Sequence(4)).status, STATUS_SUCCESS);
        // N(S) 1 now: the chain's first block carries 0x60, the reader asks for N(S) 0 next.
        peer.Expect(BlockHex(WithInf("12 60 04", Sequence(4))), BlockHex("00 80 00"))
            .Expect(BlockHex("12 00 01 04"), BlockHex("21 40 01 BB"));
        Exchange x = Transceive(b, Sequence(5));
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(ToHex(x.reply), "BB");
        EXPECT_TRUE(peer.Done());
      },
      1, 4));
}

TEST(T1Transceive, AnswerChainedOverThreeBlocksIsAcknowledgedAndJoined) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 20 02 01 02"))
        .Expect("00 90 00 90", BlockHex("21 60 02 03 04"))
        .Expect("00 80 00 80", BlockHex("21 00 01 05"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "01 02 03 04 05");
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, FourthDamagedAnswerEndsTheExchangeWithItsStatus) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    Bytes damaged = Block("21 00 02 90 00");
    damaged[4] ^= 0x80;
    peer.Expect("12 00 05 20 13 00 80 00 A4", ToHex(damaged))
        .Expect("00 81 00 81", ToHex(damaged))
        .Expect("00 81 00 81", ToHex(damaged))
        .Expect("00 81 00 81", ToHex(damaged));
    Exchange x = Transceive(b, kCardStatus, 64);
    EXPECT_EQ(x.status, STATUS_CRC_ERROR);
    EXPECT_EQ(x.reply_length, 64u) << "the reply length stays as the caller set it";
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_RESYNCH_DUE));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, MissingAnswersAreReportedWithCodeTwo) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4")
        .Expect("00 82 00 82")
        .Expect("00 82 00 82", BlockHex("21 00 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "90 00");
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, RequestForTheBlockInFlightResendsItWithoutUsingARetry) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    Bytes damaged = Block("21 00 02 90 00");
    damaged[3] ^= 0x01;
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("00 80 00"))  // send N(S) 0 again
        .Expect("12 00 05 20 13 00 80 00 A4", ToHex(damaged))
        .Expect("00 81 00 81", ToHex(damaged))
        .Expect("00 81 00 81", ToHex(damaged))
        .Expect("00 81 00 81", BlockHex("21 00 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS) << "three error retries remain after the resend";
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, EndlessRequestsForTheSameBlockAreBounded) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    for (int i = 0; i < 4; ++i) peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("00 80 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_RESYNCH_DUE));
    EXPECT_TRUE(peer.Done());
    EXPECT_EQ(peer.unexpected_writes(), 0u);
  }));
}

TEST(T1Transceive, WtxExtendsOnlyTheNextAnswer) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", "00 C3 01 03 C1")
        .Expect("00 E3 01 03 E1", BlockHex("21 00 02 90 00"), Seconds(14));
    auto start = host::kernel::Kernel::Current().Now();
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_GE(host::kernel::Kernel::Current().Now() - start, Seconds(14));
    // Armed for each answer (the rest of each block is read with timeouts of its own).
    ASSERT_EQ(b.line->timeouts_set.size(), 4u);
    EXPECT_EQ(b.line->timeouts_set[0].ReadTotalTimeoutConstant, 5000u);
    EXPECT_EQ(b.line->timeouts_set[2].ReadTotalTimeoutConstant, 15000u);
    // The first read after the WTX response may take 1 x 500 + 15000 ms.
    EXPECT_EQ(b.line->reads.at(3).total_timeout_ms, 15500u);

    peer.Expect("12 40 05 20 13 00 80 00 E4", BlockHex("21 40 02 90 00"));
    EXPECT_EQ(Transceive(b, kCardStatus).status, STATUS_SUCCESS);
    EXPECT_EQ(b.line->timeouts_set.at(4).ReadTotalTimeoutConstant, 5000u);
    EXPECT_TRUE(peer.Done());
  }));
}

// A reader may address its R- and S-blocks from itself to the host: asked for the block again,
// the host sends it again; asked for more time, it grants it.
TEST(T1Transceive, ReaderAddressedRAndSBlocksAreAnswered) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 80 00"))
        .Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 C3 01 03"))
        .Expect("00 E3 01 03 E1", BlockHex("21 00 02 90 00"), Seconds(14));
    EXPECT_EQ(ToHex(Transceive(b, kCardStatus).reply), "90 00");
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, AnswerLaterThanTheExtendedWaitIsMissed) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", "00 C3 01 03 C1")
        .Expect("00 E3 01 03 E1", BlockHex("21 00 02 90 00"), Milliseconds(15600))
        .Expect("00 82 00 82", BlockHex("21 00 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, IfsRequestLimitsLaterBlocks) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    Bytes command = Sequence(40);
    peer.Expect(BlockHex(WithInf("12 00 28", command)), "00 C1 01 20 E0")
        .Expect("00 E1 01 20 C0", BlockHex("21 00 01 01"));
    EXPECT_EQ(Transceive(b, command).status, STATUS_SUCCESS);
    EXPECT_EQ(b.reader->Ifsc, 0x20);
    peer.Expect(BlockHex(WithInf("12 60 20", Bytes(command.begin(), command.begin() + 32))),
                BlockHex("00 80 00"))
        .Expect(BlockHex(WithInf("12 00 08", Bytes(command.begin() + 32, command.end()))),
                BlockHex("21 40 01 02"));
    Exchange x = Transceive(b, command);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "02");
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, IfsRequestForSizeZeroIsRefused) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("00 C1 01 00"))
        .Expect("00 82 00 82", BlockHex("21 00 02 90 00"));
    EXPECT_EQ(Transceive(b, kCardStatus).status, STATUS_SUCCESS);
    EXPECT_EQ(b.reader->Ifsc, 254);
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, IfscZeroSendsWithTheStartingSize) {
  ExpectOk(test_support::RunWithLink(
      [](LinkBench& b) {
        ScriptedPeer peer(*b.line);
        Bytes command = Sequence(33);
        peer.Expect(BlockHex(WithInf("12 20 20", Bytes(command.begin(), command.begin() + 32))),
                    BlockHex("00 90 00"))
            .Expect(BlockHex("12 40 01 20"), BlockHex("21 00 01 07"));
        EXPECT_EQ(Transceive(b, command).status, STATUS_SUCCESS);
        EXPECT_TRUE(peer.Done());
      },
      1, 0));
}

TEST(T1Transceive, AnswerTooLargeForTheBufferIsAborted) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex(WithInf("21 00 50", Sequence(80))))
        .Expect("00 C2 00 C2", BlockHex("00 E2 00"));
    Exchange x = Transceive(b, kCardStatus, 64);
    EXPECT_EQ(x.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(x.reply_length, 64u);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, AbortNotAcknowledgedThreeTimesIsAProtocolError) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex(WithInf("21 00 50", Sequence(80))))
        .Expect("00 C2 00 C2", BlockHex("00 90 00"))
        .Expect("00 C2 00 C2", BlockHex("00 90 00"))
        .Expect("00 C2 00 C2", BlockHex("00 90 00"));
    Exchange x = Transceive(b, kCardStatus, 64);
    EXPECT_EQ(x.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_RESYNCH_DUE));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, AbortUnansweredMarksTheReaderSilent) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex(WithInf("21 00 50", Sequence(80))))
        .Expect("00 C2 00 C2");
    EXPECT_EQ(Transceive(b, kCardStatus, 64).status, STATUS_TIMEOUT);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_NO_ANSWER));
  }));
}

TEST(T1Transceive, ReaderAbortOfTheHostChainEndsAsAborted) {
  ExpectOk(test_support::RunWithLink(
      [](LinkBench& b) {
        ScriptedPeer peer(*b.line);
        peer.Expect(BlockHex(WithInf("12 20 04", Sequence(4))), BlockHex("00 C2 00"))
            .Expect("00 E2 00 E2", BlockHex("00 90 00"));
        EXPECT_EQ(Transceive(b, Sequence(6)).status, STATUS_TRANSACTION_ABORTED);
        EXPECT_TRUE(peer.Done());
      },
      1, 4));
}

TEST(T1Transceive, ReaderAnsweringInTheMiddleOfTheHostChainGetsCodeTwo) {
  ExpectOk(test_support::RunWithLink(
      [](LinkBench& b) {
        ScriptedPeer peer(*b.line);
        peer.Expect(BlockHex(WithInf("12 20 04", Sequence(4))), BlockHex("21 00 01 01"))
            .Expect("00 82 00 82", BlockHex("00 90 00"))
            .Expect(BlockHex("12 40 02 04 05"), BlockHex("21 00 01 09"));
        Exchange x = Transceive(b, Sequence(6));
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(ToHex(x.reply), "09");
        EXPECT_TRUE(peer.Done());
      },
      1, 4));
}

// An R-block from the reader while it sends its own chain must not be taken for an
// acknowledgement of a command block: the reply would be rebuilt from the wrong offset.
TEST(T1Transceive, RBlockDuringTheReaderChainRepeatsTheAcknowledgement) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    Bytes command = Sequence(20);
    peer.Expect(BlockHex(WithInf("12 00 14", command)), BlockHex("21 20 03 0A 0B 0C"))
        .Expect("00 90 00 90", BlockHex("00 80 00"))  // the reader missed the acknowledgement
        .Expect("00 92 00 92", BlockHex("21 40 02 0D 0E"));
    Exchange x = Transceive(b, command);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "0A 0B 0C 0D 0E");
    EXPECT_TRUE(peer.Done());
  }));
}

// The fourth error is an intact block that cannot be accepted: the exchange still fails.
TEST(T1Transceive, FourthUnacceptableIntactBlockIsAProtocolError) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    std::string wrong_sequence = BlockHex("21 40 02 90 00");
    peer.Expect("12 00 05 20 13 00 80 00 A4", wrong_sequence)
        .Expect("00 82 00 82", wrong_sequence)
        .Expect("00 82 00 82", wrong_sequence)
        .Expect("00 82 00 82", wrong_sequence);
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_RESYNCH_DUE));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, LinkStateDecidesWhatHappensFirst) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    b.reader->LinkState = LINK_STATE_GIVEN_UP;
    EXPECT_EQ(Transceive(b, kCardStatus).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(b.line->writes.empty());

    b.reader->LinkState = LINK_STATE_NO_ANSWER;
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 00 02 90 00"));
    EXPECT_EQ(Transceive(b, kCardStatus).status, STATUS_SUCCESS);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_NO_ANSWER));

    b.reader->LinkState = LINK_STATE_RESYNCH_DUE;
    peer.Expect("00 C0 00 C0", BlockHex("00 E0 00"))
        .Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 00 02 90 00"));
    EXPECT_EQ(Transceive(b, kCardStatus).status, STATUS_SUCCESS);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Transceive, SilentReaderIsGivenUpAndThenNothingIsSent) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    Exchange first = Transceive(b, kCardStatus);
    EXPECT_EQ(first.status, STATUS_TIMEOUT);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_RESYNCH_DUE));
    ASSERT_EQ(b.line->writes.size(), 4u);
    EXPECT_EQ(ToHex(b.line->writes[0]), "12 00 05 20 13 00 80 00 A4");
    for (int i = 1; i < 4; ++i) EXPECT_EQ(ToHex(b.line->writes[i]), "00 82 00 82");

    Exchange second = Transceive(b, kCardStatus);
    EXPECT_EQ(second.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_GIVEN_UP));
    ASSERT_EQ(b.line->writes.size(), 7u) << "three resynchronisation requests, no command";
    for (int i = 4; i < 7; ++i) EXPECT_EQ(ToHex(b.line->writes[i]), "00 C0 00 C0");

    auto before = host::kernel::Kernel::Current().Now();
    EXPECT_EQ(Transceive(b, kCardStatus).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(b.line->writes.size(), 7u);
    EXPECT_EQ(host::kernel::Kernel::Current().Now(), before) << "fails at once";
  }));
}

TEST(T1Transceive, CommandAndReplyMayShareMemory) {
  ExpectOk(test_support::RunWithLink(
      [](LinkBench& b) {
        ScriptedPeer peer(*b.line);
        Bytes buffer = Sequence(10);
        buffer.resize(64);
        peer.Expect(BlockHex(WithInf("12 20 08", Sequence(8))), BlockHex("00 90 00"))
            .Expect(BlockHex("12 40 02 08 09"), BlockHex("21 00 03 F0 F1 F2"));
        UCHAR dad = 1, sad = 2;
        ULONG length = 64;
        EXPECT_EQ(T1Transceive(b.extension, &dad, &sad, buffer.data(), 10, buffer.data(), &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(length, 3u);
        EXPECT_EQ(ToHex(Bytes(buffer.begin(), buffer.begin() + 3)), "F0 F1 F2");
        EXPECT_TRUE(peer.Done());
      },
      1, 8));
}

// Blocks that pass the LRC but are not addressed as answers to the host are damage: the host
// asks for the block again (R-block, other error) instead of taking them.
TEST(T1Transceive, BlocksNotAddressedToTheHostAreAskedForAgain) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("12 00 02 90 00"))  // to the reader
        .Expect("00 82 00 82", BlockHex("20 00 02 90 00"))  // from the card, not asked
        .Expect("00 82 00 82", BlockHex("21 00 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "90 00");
    EXPECT_TRUE(peer.Done());
  }));
  // An S-block addressed to the reader, and a chain whose second block comes from another node.
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("12 C3 01 03"))
        .Expect("00 82 00 82", BlockHex("21 20 01 80"))
        .Expect("00 90 00 90", BlockHex("20 40 02 90 00"))
        .Expect("00 92 00 92", BlockHex("21 40 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "80 90 00");
    EXPECT_TRUE(peer.Done());
  }));
}

// What is left of a damaged block still arrives after its LRC was found wrong; the host lets the
// line fall quiet before it answers, so that the leftover never starts the next block.
TEST(T1Transceive, AfterADamagedBlockTheLineFallsQuietBeforeTheAnswer) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    // LEN says 2, three bytes of INF come: the last one trails the block read.
    Bytes longer = Block("21 00 02 90 00");
    longer.insert(longer.begin() + 4, 0x55);
    peer.Expect("12 00 05 20 13 00 80 00 A4", ToHex(longer))
        .Expect("00 81 00 81", BlockHex("21 00 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "90 00");
    EXPECT_TRUE(peer.Done());
    // The R-block went out only after a quiet read that found nothing more.
    ASSERT_GE(b.line->reads.size(), 5u);
    const test_support::ReadRecord& quiet = b.line->reads[4];
    EXPECT_EQ(quiet.wanted, 1u);
    EXPECT_EQ(quiet.delivered, 0u);
    EXPECT_EQ(quiet.total_timeout_ms, ULONG(T1_QUIET_LINE_MS));
  }));
}

// Replays zarq7-fault-matrix --class oversized --seed 3: an I-block of LEN 255, more than the host
// ever announces, whose LRC is right. Its INF was handed back as the card's answer; it is asked for
// again like any block that cannot be the reader's.
TEST(T1Transceive, IBlockLongerThanTheHostAnnouncesIsAskedForAgain) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex(WithInf("21 00 FF", Sequence(255))))
        .Expect("00 82 00 82", BlockHex("21 00 02 90 00"));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "90 00");
    EXPECT_TRUE(peer.Done());
  }));
}

// Replays zarq7-fault-matrix --class stall --seed 100: the converter refused the write of the
// R-block that acknowledges the reader's first chained block. The reader, left in the middle of
// its chain, cannot take a new command: the next exchange resynchronises first.
TEST(T1Transceive, FailedAcknowledgementLeavesTheLinkDueForResynchronisation) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 20 02 01 02"))
        .Expect("00 C0 00 C0", "00 E0 00 E0")
        .Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 00 02 90 00"));
    int writes = 0;
    b.line->request_status = [&writes](ULONG code) {
      return code == SMARTCARD_WRITE && ++writes == 2 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    };
    EXPECT_EQ(Transceive(b, kCardStatus).status, STATUS_TIMEOUT);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_RESYNCH_DUE));
    Exchange x = Transceive(b, kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(x.reply), "90 00");
    EXPECT_TRUE(peer.Done());
  }));
}
