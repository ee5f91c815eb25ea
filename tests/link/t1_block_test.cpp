// Block framing, reception, resynchronisation and the IFS exchange, with the exact bytes on the
// line.
#include "tests/link/link_test_util.h"

using namespace link_test;
using test_support::ScriptedPeer;

TEST(T1SendBlock, FramesWithLrcPurgesFirstAndArmsTheAnswerTimeouts) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    EXPECT_EQ(T1SendBlock(b.extension, 0x00, 0xC0, 0, nullptr, 7000), STATUS_SUCCESS);
    const UCHAR inf[] = {0x20, 0x13, 0x00, 0x80, 0x00};
    EXPECT_EQ(T1SendBlock(b.extension, 0x12, 0x00, 5, inf, 5000), STATUS_SUCCESS);
    ASSERT_EQ(b.line->writes.size(), 2u);
    EXPECT_EQ(ToHex(b.line->writes[0]), "00 C0 00 C0");
    EXPECT_EQ(ToHex(b.line->writes[1]), "12 00 05 20 13 00 80 00 A4");
    EXPECT_EQ(b.line->purge_masks,
              (std::vector<ULONG>{SERIAL_PURGE_RXCLEAR, SERIAL_PURGE_RXCLEAR}));
    ASSERT_EQ(b.line->timeouts_set.size(), 2u);
    EXPECT_EQ(b.line->timeouts_set[0].ReadTotalTimeoutConstant, 7000u);
    const SERIAL_TIMEOUTS& t = b.reader->LinkTimeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 500u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 500u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 5000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  }));
}

TEST(T1SendBlock, InfAlreadyInTheRequestBufferIsSentIntact) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    PUCHAR request = b.extension->SmartcardRequest.Buffer;
    const UCHAR command[] = {0x20, 0x13, 0x00, 0x80, 0x00};
    std::memcpy(request, command, sizeof(command));  // where a lent command buffer would be
    EXPECT_EQ(T1SendBlock(b.extension, 0x12, 0x00, 5, request, 5000), STATUS_SUCCESS);
    EXPECT_EQ(ToHex(b.line->writes.at(0)), "12 00 05 20 13 00 80 00 A4");
  }));
}

TEST(T1ReceiveBlock, SilenceAndCutOffAnswersTimeOutWithTheBufferRestored) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    PUCHAR start = b.extension->SmartcardReply.Buffer;
    EXPECT_EQ(T1SendBlock(b.extension, 0, 0xC0, 0, nullptr, 5000), STATUS_SUCCESS);
    auto before = host::kernel::Kernel::Current().Now();
    EXPECT_EQ(T1ReceiveBlock(b.extension), STATUS_TIMEOUT);
    EXPECT_EQ(b.extension->SmartcardReply.BufferLength, 0u);
    EXPECT_EQ(b.extension->SmartcardReply.Buffer, start);
    // One byte wanted: 1 x 500 ms + the 5000 ms waiting time.
    EXPECT_EQ(host::kernel::Kernel::Current().Now() - before, host::kernel::Milliseconds(5500));

    // The prologue only, of a block that says 254 bytes follow: given up after 500 ms for the
    // first missing character and 2 ms for each (9600 bit/s), not 255 x 500 ms.
    b.line->Send(Hex("00 E1 FE"), host::kernel::Milliseconds(5));
    before = host::kernel::Kernel::Current().Now();
    EXPECT_EQ(T1ReceiveBlock(b.extension), STATUS_TIMEOUT);
    auto took = host::kernel::Kernel::Current().Now() - before;
    EXPECT_GE(took, host::kernel::Milliseconds(1017));
    EXPECT_LT(took, host::kernel::Milliseconds(1017) + 2 * host::kernel::kClockTick);
    EXPECT_EQ(b.extension->SmartcardReply.BufferLength, 0u);
    EXPECT_EQ(b.extension->SmartcardReply.Buffer, start);
  }));
}

TEST(T1ReceiveBlock, ChecksTheLrcAndAcceptsLen255) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    Bytes inf(255);
    for (size_t i = 0; i < inf.size(); ++i) inf[i] = uint8_t(i * 7);
    Bytes big = sim::t1::Encode({0x21, 0x00, inf});  // LEN FF
    EXPECT_EQ(T1SendBlock(b.extension, 0, 0xC0, 0, nullptr, 5000), STATUS_SUCCESS);
    b.line->Send(big, host::kernel::Milliseconds(5));
    EXPECT_EQ(T1ReceiveBlock(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(b.extension->SmartcardReply.BufferLength, 259u);
    EXPECT_EQ(Bytes(b.extension->SmartcardReply.Buffer, b.extension->SmartcardReply.Buffer + 259),
              big);

    big[100] ^= 0x10;
    b.line->Send(big, host::kernel::Milliseconds(5));
    EXPECT_EQ(T1ReceiveBlock(b.extension), STATUS_CRC_ERROR);
  }));
}

// A dropped byte leaves the last byte of the block to whatever the buffer held before; here the
// stale byte completes a block whose LRC matches. Only a read that reports its delivered count
// lets the link reject it.
TEST(T1ReceiveBlock, ShortReadIsRejectedEvenWhenStaleBytesMatchTheLrc) {
  for (bool report : {true, false}) {
    ExpectOk(test_support::RunWithLink([&](LinkBench& b) {
      b.line->report_delivered = report;
      ASSERT_EQ(T1SendBlock(b.extension, 0, 0xC0, 0, nullptr, 5000), STATUS_SUCCESS);
      b.line->Send(Block("00 C3 01 05"), host::kernel::Milliseconds(5));
      ASSERT_EQ(T1ReceiveBlock(b.extension), STATUS_SUCCESS);  // leaves C7 at offset 4
      Bytes damaged = Block("00 C3 01 C7");                    // 00 C3 01 C7 05
      damaged.erase(damaged.begin() + 3);                      // C7 lost on the line
      b.line->Send(damaged, host::kernel::Milliseconds(5));
      NTSTATUS status = T1ReceiveBlock(b.extension);
      if (report) {
        EXPECT_EQ(status, STATUS_CRC_ERROR);
      } else {
        EXPECT_EQ(status, STATUS_SUCCESS) << "without a count the stale byte passes the LRC";
      }
    }));
  }
}

// An inserted character shifts the block: its last INF byte, read as the LRC, matches; the real
// LRC waits, in before the link reads as an IN packet brings several characters at once.
TEST(T1ReceiveBlock, ACharacterWaitingAfterTheBlockMakesItDamaged) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    Bytes answer = Block("21 00 02 90 00"), damaged = Hex("21 00 02 B3 90 00 B3");
    for (const Bytes& block : {damaged, answer}) {  // the tail is swallowed before the repeat
      b.line->Send(block, host::kernel::Milliseconds(5));
      host::kernel::Kernel::Current().SleepFor(host::kernel::Milliseconds(20));
      EXPECT_EQ(T1ReceiveBlock(b.extension), block == answer ? STATUS_SUCCESS : STATUS_CRC_ERROR);
    }
  }));
}

TEST(T1Resynch, AnsweredFirstTimeLeavesTheLinkInStep) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("00 C0 00 C0", BlockHex("00 E0 00"));
    b.reader->LinkState = LINK_STATE_RESYNCH_DUE;
    b.reader->SequenceBits = SEQUENCE_BIT_SEND | SEQUENCE_BIT_RECEIVE;
    b.reader->Ifsc = 254;
    EXPECT_EQ(T1Resynch(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_EQ(b.reader->Ifsc, 32);
    EXPECT_EQ(b.reader->SequenceBits, 0u);
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1Resynch, SilentReaderIsGivenUpAfterThreeRequests) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    EXPECT_EQ(T1Resynch(b.extension), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(b.line->writes.size(), 3u);
    for (auto& w : b.line->writes) EXPECT_EQ(ToHex(w), "00 C0 00 C0");
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_GIVEN_UP));
    EXPECT_EQ(T1Resynch(b.extension), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(T1SetIfsd(b.extension, 254), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(b.line->writes.size(), 3u) << "nothing is sent once the link is given up";
  }));
}

TEST(T1Resynch, WrongAnswersUseAttemptsAndATimeoutDoesNotStopThem) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("00 C0 00 C0", BlockHex("00 E1 01 20"))  // not a RESYNCH response
        .Expect("00 C0 00 C0")                           // silence
        .Expect("00 C0 00 C0", BlockHex("00 E0 00"));
    EXPECT_EQ(T1Resynch(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1SetIfsd, SendsTheRequestAndNeedsTheSameSizeBack) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("00 C1 01 FE 3E", BlockHex("00 E1 01 FE"));
    EXPECT_EQ(T1SetIfsd(b.extension, 254), STATUS_SUCCESS);
    peer.Expect("00 C1 01 FE 3E", BlockHex("00 E1 01 20"))
        .Expect("00 C1 01 FE 3E", BlockHex("00 E1 01 20"))
        .Expect("00 C1 01 FE 3E", BlockHex("00 E1 01 20"));
    EXPECT_EQ(T1SetIfsd(b.extension, 254), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_GIVEN_UP));
    EXPECT_TRUE(peer.Done());
  }));
}

// An unanswered request is sent again, as a wrongly answered one is; three unanswered mark the
// reader silent.
TEST(T1SetIfsd, TimeoutsMarkTheReaderSilentAndLaterCallsSendNothing) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    EXPECT_EQ(T1SetIfsd(b.extension, 254), STATUS_TIMEOUT);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_NO_ANSWER));
    EXPECT_EQ(T1SetIfsd(b.extension, 254), STATUS_TIMEOUT);
    EXPECT_EQ(T1Resynch(b.extension), STATUS_TIMEOUT);
    EXPECT_EQ(b.line->writes.size(), 3u);
    b.reader->LinkState = LINK_STATE_IN_STEP;
    ScriptedPeer peer(*b.line);
    peer.Expect("00 C1 01 FE 3E").Expect("00 C1 01 FE 3E", BlockHex("00 E1 01 FE"));
    EXPECT_EQ(T1SetIfsd(b.extension, 254), STATUS_SUCCESS);
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(T1SetIfsc, AcceptsOneTo254) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    EXPECT_EQ(T1SetIfsc(b.extension, 1), STATUS_SUCCESS);
    EXPECT_EQ(b.reader->Ifsc, 1);
    EXPECT_EQ(T1SetIfsc(b.extension, 254), STATUS_SUCCESS);
    EXPECT_EQ(T1SetIfsc(b.extension, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(T1SetIfsc(b.extension, 255), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.reader->Ifsc, 254);
  }));
}
