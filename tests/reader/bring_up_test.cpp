// Link bring-up: the serial settings, the DTR cycle in virtual time, resynchronisation, the IFS
// exchange and the first card status, and a reader that stays silent.
#include <algorithm>

#include "tests/reader/reader_bench.h"

using namespace reader_test;

using host::kernel::RoundUpToClockTick;

namespace {

host::kernel::RunResult RunBringUp(const std::function<void(LinkBench&)>& body) {
  return test_support::RunWithLink(test_support::LinkBenchOptions{.ifsc = 0, .device = true}, body);
}

std::vector<ULONG> Codes(const std::vector<test_support::ScriptedLineRequest>& requests) {
  std::vector<ULONG> out;
  for (const auto& r : requests) out.push_back(r.code);
  return out;
}

constexpr ULONG kSetDtr = IOCTL_SERIAL_SET_DTR, kClrDtr = IOCTL_SERIAL_CLR_DTR;

}  // namespace

TEST(LinkSerialSetup, SendsTheSevenSettingsInOrderWithTheirData) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    PUCHAR library_buffer = b.extension->SmartcardRequest.Buffer;
    b.extension->SmartcardReply.BufferLength = 0;
    ASSERT_EQ(LinkSerialSetup(b.extension), STATUS_SUCCESS);
    const auto& r = b.line->requests;
    ASSERT_EQ(r.size(), 7u);
    const struct {
      ULONG code;
      ULONG length;
      const char* data;
    } expected[] = {
        {0x1B0004, 4, "80 25 00 00"},
        {0x1B000C, 3, "00 02 08"},
        {0x1B005C, 6, "00 00 FF 00 00 00"},
        {0x1B001C, 20, "32 00 00 00 32 00 00 00 10 27 00 00 01 00 00 00 E8 03 00 00"},
        {0x1B0064, 16, "00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 00"},
        {0x1B0014, 16, nullptr},
        {0x1B0024, 16, nullptr},
    };
    for (size_t i = 0; i < 7; ++i) {
      EXPECT_EQ(r[i].code, expected[i].code) << i;
      EXPECT_EQ(r[i].length, expected[i].length) << i << ": the length is left at 16";
      if (expected[i].data) {
        EXPECT_EQ(ToHex(r[i].data), expected[i].data) << i;
      }
    }
    EXPECT_EQ(b.extension->SmartcardRequest.Buffer, library_buffer) << "pointed back";
    EXPECT_EQ(b.extension->SmartcardRequest.BufferSize, 288u);
    EXPECT_EQ(b.extension->SmartcardReply.BufferLength, b.extension->SmartcardReply.BufferSize);
  }));
}

TEST(LinkSerialSetup, FirstFailureEndsIt) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    b.line->request_status = [](ULONG code) {
      return code == IOCTL_SERIAL_SET_CHARS ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
    };
    EXPECT_EQ(LinkSerialSetup(b.extension), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Codes(b.line->requests),
              (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                  IOCTL_SERIAL_SET_CHARS}));
  }));
}

TEST(LinkDtrCycle, OneClearAndSevenSetsWithTheirWaits) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    b.reader->LinkState = LINK_STATE_GIVEN_UP;
    Ticks start = Now();
    ASSERT_EQ(LinkDtrCycle(b.extension), STATUS_SUCCESS);
    // The waits are delays: each ends on the clock tick (50 ms takes four ticks).
    EXPECT_EQ(Now() - start, RoundUpToClockTick(Milliseconds(50)) + 7 * Milliseconds(250));
    std::vector<ULONG> expected = {kClrDtr, kSetDtr, kSetDtr, kSetDtr,
                                   kSetDtr, kSetDtr, kSetDtr, kSetDtr};
    EXPECT_EQ(Codes(b.line->requests), expected);
    const auto& r = b.line->requests;
    EXPECT_EQ(r[1].at - r[0].at, RoundUpToClockTick(Milliseconds(50)));
    for (size_t i = 2; i < r.size(); ++i) EXPECT_EQ(r[i].at - r[i - 1].at, Milliseconds(250));
    for (const auto& request : r) EXPECT_EQ(request.length, 0u);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
  }));
}

TEST(LinkDtrCycle, FailedRequestEndsTheCycleAfterItsWait) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    int sets = 0;
    b.line->request_status = [&](ULONG code) {
      return code == kSetDtr && ++sets == 2 ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
    };
    Ticks start = Now();
    EXPECT_EQ(LinkDtrCycle(b.extension), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Now() - start, RoundUpToClockTick(Milliseconds(50)) + Milliseconds(250 + 250));
    EXPECT_EQ(Codes(b.line->requests), (std::vector<ULONG>{kClrDtr, kSetDtr, kSetDtr}));
  }));
}

TEST(LinkBringUp, ResynchronisesExchangesTheIfsAndQueriesTheCard) {
  ExpectOk(RunBringUp([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("00 C0 00 C0", "00 E0 00 E0")
        .Expect("00 C1 01 FE 3E", "00 E1 01 FE 1E")
        .Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 00 05 80 01 05 90 00"));
    std::vector<int> ifsc_at_write;
    auto peer_write = b.line->on_write;
    b.line->on_write = [&](const Bytes& block) {
      ifsc_at_write.push_back(b.reader->Ifsc);
      peer_write(block);
    };
    Ticks start = Now();
    EXPECT_EQ(LinkBringUp(b.extension), STATUS_SUCCESS);
    EXPECT_TRUE(peer.Done());
    EXPECT_EQ(ifsc_at_write, (std::vector<int>{0, 32, 254}));
    EXPECT_EQ(b.reader->Ifsc, 254);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_EQ(b.reader->SequenceBits, ULONG(SEQUENCE_BIT_SEND | SEQUENCE_BIT_RECEIVE));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
    EXPECT_EQ(b.line->write_times.at(0) - start,
              RoundUpToClockTick(Milliseconds(50)) + 7 * Milliseconds(250))
        << "after the DTR cycle, its delays on the clock tick";
    EXPECT_EQ(KeReadStateMutex(&b.reader->LinkMutex), 1) << "initialised and released";
  }));
}

TEST(LinkBringUp, SilentReaderIsGivenUpUntilTheNextDtrCycle) {
  ExpectOk(RunBringUp([](LinkBench& b) {
    ReaderFarEnd far(*b.line, nullptr);
    far.silent = true;
    EXPECT_EQ(LinkBringUp(b.extension), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(b.line->writes.size(), 6u) << "three attempts, then three more";
    for (const Bytes& w : b.line->writes) EXPECT_EQ(ToHex(w), "00 C0 00 C0");
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_GIVEN_UP));

    // Exchanges fail at once, without a byte on the line.
    Ticks before = Now();
    KeWaitForSingleObject(&b.reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(QueryCardStatus(b.extension), STATUS_INVALID_DEVICE_STATE);
    KeReleaseMutex(&b.reader->LinkMutex, FALSE);
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    EXPECT_EQ(Transmit(b, WithHeader(SCARD_PROTOCOL_T1, Hex("00 B0 00 00 10"))).status,
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Now(), before);
    EXPECT_EQ(b.line->writes.size(), 6u);

    // The next power-up's DTR cycle puts the link back in step: the reader is asked again.
    EXPECT_EQ(LinkDtrCycle(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    far.silent = false;
    far.answer = [](const Bytes&, uint8_t) {
      return std::optional<FarAnswer>(FromReader("80 01 05 90 00"));
    };
    KeWaitForSingleObject(&b.reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(QueryCardStatus(b.extension), STATUS_SUCCESS);
    KeReleaseMutex(&b.reader->LinkMutex, FALSE);
    EXPECT_EQ(b.line->writes.size(), 7u);
  }));
}

TEST(LinkBringUp, SecondResynchronisationCanStillSucceed) {
  ExpectOk(RunBringUp([](LinkBench& b) {
    ReaderFarEnd far(*b.line, [](const Bytes&, uint8_t) {
      return std::optional<FarAnswer>(FromReader("80 01 00 90 00"));
    });
    far.silent = true;
    // Silent for the first three attempts; the reader wakes before the fourth.
    int resynchs = 0;
    auto far_write = b.line->on_write;
    b.line->on_write = [&](const Bytes& block) {
      if (ToHex(block) == "00 C0 00 C0" && ++resynchs == 4) far.silent = false;
      far_write(block);
    };
    EXPECT_EQ(LinkBringUp(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(resynchs, 4);
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_EQ(b.reader->Ifsc, 254);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
  }));
}

TEST(LinkBringUp, StepFailuresAreReturnedAndEndIt) {
  ExpectOk(RunBringUp([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("00 C0 00 C0", "00 E0 00 E0");
    for (int i = 0; i < 3; ++i) peer.Expect("00 C1 01 FE 3E");  // no IFS answer
    EXPECT_EQ(LinkBringUp(b.extension), STATUS_IO_TIMEOUT);
    EXPECT_TRUE(peer.Done());
    EXPECT_EQ(b.reader->Ifsc, 32) << "the host's size is not raised";
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_NO_ANSWER));

    b.line->request_status = [](ULONG code) {
      return code == kClrDtr ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
    };
    size_t writes = b.line->writes.size();
    EXPECT_EQ(LinkBringUp(b.extension), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(b.line->writes.size(), writes);
  }));
}

// Replays zarq7-fault-matrix --class ber-0.01 --seed 2: noise made the link give up, and once it
// had ended the device refused every request until it was plugged in again. An application's
// reset of the card restarts the reader first (DTR cycle, resynchronisation, IFS, card status).
TEST(LinkBringUp, ResetOfTheCardBringsAGivenUpLinkBackUp) {
  ExpectOk(RunBringUp([](LinkBench& b) {
    b.reader->LinkState = LINK_STATE_GIVEN_UP;
    ScriptedPeer peer(*b.line);
    peer.Expect("00 C0 00 C0", "00 E0 00 E0")
        .Expect("00 C1 01 FE 3E", "00 E1 01 FE 1E")
        .Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 00 05 80 01 01 90 00"))
        .Expect("12 40 04 20 10 01 01 66", BlockHex("21 40 06 3B 02 14 50 90 01"));
    Call c = Power(b, SCARD_COLD_RESET);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(c.reply), "3B 02 14 50");
    EXPECT_TRUE(peer.Done());
    EXPECT_EQ(std::ranges::count(Codes(b.line->requests), kClrDtr), 1) << "the reader restarted";
    EXPECT_EQ(b.reader->LinkState, ULONG(LINK_STATE_IN_STEP));
  }));
}
