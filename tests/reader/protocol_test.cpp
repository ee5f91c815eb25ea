// Protocol selection and transmission: the set-parameters command, SCARD_SPECIFIC, commands to the
// card and the reader's own error answers.
#include <cstring>

#include "tests/reader/reader_bench.h"

using namespace reader_test;

namespace {

ULONG Ulong(const Bytes& b) {
  ULONG v = 0;
  std::memcpy(&v, b.data(), sizeof(v));
  return v;
}

// A reader that answers set-parameters with `answer` and every card command with `card`.
std::unique_ptr<ReaderFarEnd> Reader(LinkBench& b, const FarAnswer* answer) {
  return std::make_unique<ReaderFarEnd>(
      *b.line, [answer](const Bytes&, uint8_t) -> std::optional<FarAnswer> { return *answer; });
}

void SupportBoth(LinkBench& b) { b.extension->CardCapabilities.Protocol.Supported = 3; }

}  // namespace

TEST(ReaderSetProtocol, BothRequestedAndSupportedSelectsT1) {
  ExpectOk(RunReader([](LinkBench& b) {
    SupportBoth(b);
    SetState(b, SCARD_POWERED);
    ScriptedPeer peer(*b.line);
    peer.Expect(BlockHex("12 00 08 80 60 01 00 03 22 01 02"), BlockHex("21 00 02 90 00"));
    Call c = SetProtocol(b, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 4u);
    EXPECT_EQ(Ulong(c.reply), ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(b.extension->CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SPECIFIC));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(ReaderSetProtocol, T0AndTheAlreadySetAnswerAreAccepted) {
  ExpectOk(RunReader([](LinkBench& b) {
    SupportBoth(b);
    ScriptedPeer peer(*b.line);
    peer.Expect(BlockHex("12 00 08 80 60 01 00 03 22 01 01"), BlockHex("21 00 02 6A 80"));
    Call c = SetProtocol(b, SCARD_PROTOCOL_T0);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 4u);
    EXPECT_EQ(Ulong(c.reply), ULONG(SCARD_PROTOCOL_T0));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SPECIFIC));
    EXPECT_TRUE(peer.Done());
  }));
}

// The library expects the answer of every success from the driver.
TEST(ReaderSetProtocol, NothingIsSentWhenTheProtocolIsAlreadyInForceButItIsAnswered) {
  ExpectOk(RunReader([](LinkBench& b) {
    SupportBoth(b);
    SetState(b, SCARD_SPECIFIC);
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    Call c = SetProtocol(b, SCARD_PROTOCOL_T1);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(c.reply), ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(c.information, 4u);
    EXPECT_TRUE(b.line->writes.empty());
  }));
}

TEST(ReaderSetProtocol, RefusalsClearTheSelectionButATimeOutKeepsIt) {
  ExpectOk(RunReader([](LinkBench& b) {
    SupportBoth(b);
    SetState(b, SCARD_POWERED);
    FarAnswer answer = FromReader("6F 00");
    auto far = Reader(b, &answer);
    Call c = SetProtocol(b, SCARD_PROTOCOL_T1);
    EXPECT_EQ(c.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(b.extension->CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));

    answer = FromReader("90");  // no whole status word: nothing was accepted
    c = SetProtocol(b, SCARD_PROTOCOL_T1);
    EXPECT_EQ(c.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(b.extension->CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    answer = FromReader("");
    EXPECT_EQ(SetProtocol(b, SCARD_PROTOCOL_T1).status, STATUS_DEVICE_PROTOCOL_ERROR);

    far->silent = true;
    c = SetProtocol(b, SCARD_PROTOCOL_T1);
    EXPECT_EQ(c.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(b.extension->CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
  }));
}

TEST(ReaderSetProtocol, NoCommonProtocolOrNoRoomForTheAnswerSendsNothing) {
  ExpectOk(RunReader([](LinkBench& b) {
    b.extension->CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0;
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    Call c = SetProtocol(b, SCARD_PROTOCOL_T1);
    EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(b.extension->CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));

    c = SetProtocol(b, SCARD_PROTOCOL_T0, 3);
    EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(b.extension->CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    EXPECT_TRUE(b.line->writes.empty());
  }));
}

TEST(ReaderTransmit, CardAnswerComesBackBehindTheHeaderWithItsStatusWord) {
  ExpectOk(RunReader([](LinkBench& b) {
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ScriptedPeer peer(*b.line);
    peer.Expect(BlockHex("02 00 05 00 A4 04 00 00"), BlockHex("20 00 02 61 10"));
    Bytes request = WithHeader(SCARD_PROTOCOL_T1, Hex("00 A4 04 00 00"));
    Call c = Transmit(b, request);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    ASSERT_EQ(c.information, 8u + 2u);
    c.reply.resize(c.information);
    EXPECT_EQ(ToHex(c.reply), ToHex(WithHeader(SCARD_PROTOCOL_T1, Hex("61 10"))));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(ReaderTransmit, OneBufferForRequestAndReplyWorks) {
  ExpectOk(RunReader([](LinkBench& b) {
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
    FarAnswer answer = FromCard("01 02 03 90 00");
    auto far = Reader(b, &answer);
    Bytes buffer = WithHeader(SCARD_PROTOCOL_RAW, Hex("80 CA 00 00"));
    buffer.resize(64, 0xEE);
    ULONG information = 0;
    auto& io = b.extension->IoRequest;
    io = {&information, buffer.data(), 12, buffer.data(), 64};
    EXPECT_EQ(ReaderTransmit(b.extension), STATUS_SUCCESS);
    io = {};
    ASSERT_EQ(information, 13u);
    buffer.resize(information);
    EXPECT_EQ(ToHex(buffer), ToHex(WithHeader(SCARD_PROTOCOL_RAW, Hex("01 02 03 90 00"))));
    EXPECT_EQ(ToHex(far->commands.at(0)), "80 CA 00 00");
  }));
}

TEST(ReaderTransmit, ReaderAnswersBecomeStatusesWithNothingReturned) {
  struct Case {
    const char* answer;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"64 A1", STATUS_NO_MEDIA},
      {"64 A0", STATUS_IO_TIMEOUT},
      {"64 00", STATUS_DEVICE_PROTOCOL_ERROR},
      {"62 00", STATUS_INVALID_DEVICE_REQUEST},
      {"62 83", STATUS_INVALID_DEVICE_REQUEST},
      {"67 00", STATUS_INVALID_PARAMETER},
      {"90 00", STATUS_INVALID_DEVICE_REQUEST},
      {"01 02 64 A1", STATUS_NO_MEDIA},
      {"A1", STATUS_DEVICE_PROTOCOL_ERROR},
      {"", STATUS_DEVICE_PROTOCOL_ERROR},
  };
  ExpectOk(RunReader([&](LinkBench& b) {
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    FarAnswer answer;
    auto far = Reader(b, &answer);
    for (const Case& c : cases) {
      answer = FromReader(c.answer);
      Call call = Transmit(b, WithHeader(SCARD_PROTOCOL_T1, Hex("00 B0 00 00 10")));
      EXPECT_EQ(call.status, c.status) << c.answer;
      EXPECT_EQ(call.information, 0u) << c.answer;
    }
  }));
}

TEST(ReaderTransmit, RefusedWithoutProtocolOrWithBuffersShorterThanTheHeader) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes request = WithHeader(SCARD_PROTOCOL_T1, Hex("00 B0 00 00 10"));
    Call c = Transmit(b, request);
    EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(c.information, 0u);

    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    c = Transmit(b, Bytes(request.begin(), request.begin() + 7));
    EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c.information, 0u);
    c = Transmit(b, request, 7);
    EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(ToHex(c.reply), "EE EE EE EE EE EE EE") << "nothing written";
    EXPECT_TRUE(b.line->writes.empty());
  }));
}

TEST(ReaderTransmit, T0CommandIsCheckedByTheLibraryAndSentUnchanged) {
  ExpectOk(RunReader([](LinkBench& b) {
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    FarAnswer answer = FromCard("90 00");
    auto far = Reader(b, &answer);
    Call c = Transmit(b, WithHeader(SCARD_PROTOCOL_T0, Hex("00 A4 04")));
    EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER) << "no T=0 command";
    EXPECT_TRUE(far->commands.empty());

    c = Transmit(b, WithHeader(SCARD_PROTOCOL_T0, Hex("00 A4 00 00 02 3F 00 00")));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 10u);
    ASSERT_EQ(far->commands.size(), 1u);
    EXPECT_EQ(ToHex(far->commands[0]), "00 A4 00 00 02 3F 00 00") << "Le included";
    EXPECT_EQ(far->nads[0], 0x02) << "to the card";
  }));
}

TEST(ReaderTransmit, TimeOutBecomesIoTimeout) {
  ExpectOk(RunReader([](LinkBench& b) {
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ReaderFarEnd far(*b.line, nullptr);
    far.silent = true;
    Call c = Transmit(b, WithHeader(SCARD_PROTOCOL_T1, Hex("00 B0 00 00 10")), 40);
    EXPECT_EQ(c.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(c.information, 40u) << "the exchange's count (its capacity, unchanged) plus 8";
  }));
}
