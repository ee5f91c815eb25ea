// Card power: resets take the ATR, power down reports through the status query, and the reader's
// refusals become statuses.
#include "tests/reader/reader_bench.h"

using namespace reader_test;

namespace {

const char* const kAtr = "3B 02 14 50";  // T=0, two historical bytes

// A reader whose answer to the power-on command is `reset` and to GET STATUS is `status`.
std::unique_ptr<ReaderFarEnd> PowerReader(LinkBench& b, const std::string* reset,
                                          const std::string* status) {
  return std::make_unique<ReaderFarEnd>(
      *b.line, [reset, status](const Bytes& command, uint8_t) -> std::optional<FarAnswer> {
        if (command == kPowerOn) return FromReader(*reset);
        if (command == kGetStatus) return FromReader(*status);
        return FromReader("90 00");
      });
}

}  // namespace

TEST(ReaderCardPower, ColdResetCopiesTheAtrWithoutTheStatusWordAndParsesIt) {
  ExpectOk(RunReader([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 04 20 10 01 01 26", BlockHex("21 00 06 3B 02 14 50 90 01"));
    Call c = Power(b, SCARD_COLD_RESET);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 4u);
    EXPECT_EQ(ToHex(c.reply), kAtr);
    const auto& card = b.extension->CardCapabilities;
    EXPECT_EQ(ToHex(Bytes(card.ATR.Buffer, card.ATR.Buffer + card.ATR.Length)), kAtr);
    EXPECT_EQ(card.Protocol.Supported, ULONG(SCARD_PROTOCOL_T0)) << "the ATR was parsed";
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
    EXPECT_TRUE(peer.Done());
  }));
}

// A reset ends the protocol in force, for the card and for the reader.
TEST(ReaderCardPower, WarmResetSendsTheSameCommandAndEndsTheSelection) {
  ExpectOk(RunReader([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 04 20 10 01 01 26", BlockHex("21 00 06 3B 02 14 50 90 01"))
        .Expect("12 40 04 20 10 01 01 66", BlockHex("21 40 06 3B 02 14 50 90 01"));
    EXPECT_EQ(Power(b, SCARD_COLD_RESET).status, STATUS_SUCCESS);
    SetState(b, SCARD_SPECIFIC);
    b.extension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    Call c = Power(b, SCARD_WARM_RESET);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(c.reply), kAtr);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
    EXPECT_EQ(b.extension->CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(ReaderCardPower, ReplyBufferSmallerThanTheAtrIsRefusedWithTheAtrKept) {
  ExpectOk(RunReader([](LinkBench& b) {
    std::string reset = "3B 02 14 50 90 01", status = "80 01 05 90 00";
    auto far = PowerReader(b, &reset, &status);
    Call c = Power(b, SCARD_COLD_RESET, 3);
    EXPECT_EQ(c.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.information, 0xDEADBEEFu) << "nothing returned";
    EXPECT_EQ(ToHex(c.reply), "EE EE EE");
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 4);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
    EXPECT_EQ(far->commands.size(), 1u);

    c = Power(b, SCARD_COLD_RESET, 4);  // exactly the ATR
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(ToHex(c.reply), kAtr);
  }));
}

// The library hands over its system buffer with the caller's output length, 0 here.
TEST(ReaderCardPower, WithoutRoomForTheAtrItStillGoesToTheLibrary) {
  ExpectOk(RunReader([](LinkBench& b) {
    std::string reset = "3B 02 14 50 90 01", status = "80 01 05 90 00";
    auto far = PowerReader(b, &reset, &status);
    Call c = Power(b, SCARD_COLD_RESET, 0);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 0xDEADBEEFu);
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 4);
  }));
}

TEST(ReaderCardPower, ResetRefusalsBecomeStatuses) {
  ExpectOk(RunReader([](LinkBench& b) {
    std::string reset, status = "80 01 03 90 00";
    auto far = PowerReader(b, &reset, &status);

    reset = "64 A1";  // no card
    SetState(b, SCARD_POWERED);
    EXPECT_EQ(Power(b, SCARD_COLD_RESET).status, STATUS_NO_MEDIA);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));

    reset = "3B 02 14 50 90 00";  // answered, but not with a whole ATR
    Call c = Power(b, SCARD_COLD_RESET);
    EXPECT_EQ(c.status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 4);

    // Anything else: the status query decides the state, then the (now empty) ATR is parsed.
    reset = "62 00";
    size_t before = far->commands.size();
    EXPECT_EQ(Power(b, SCARD_WARM_RESET).status, STATUS_UNRECOGNIZED_MEDIA);
    ASSERT_EQ(far->commands.size(), before + 2);
    EXPECT_EQ(far->commands[before + 1], kGetStatus);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 0);

    reset = "90";  // no status word: a failure, nothing changes
    SetState(b, SCARD_SWALLOWED);
    EXPECT_EQ(Power(b, SCARD_COLD_RESET).status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 0);
  }));
}

TEST(ReaderCardPower, PowerDownReportsNoBytesAndTheStateFromTheStatusQuery) {
  ExpectOk(RunReader([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 04 20 14 01 00 23", BlockHex("21 00 02 90 00"))
        .Expect("12 40 05 20 13 00 80 00 E4", BlockHex("21 40 05 80 01 03 90 00"));
    SetState(b, SCARD_SPECIFIC);
    Call c = Power(b, SCARD_POWER_DOWN);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    EXPECT_TRUE(peer.Done());

    peer.Expect("12 00 04 20 14 01 00 23", BlockHex("21 00 02 6F 00"))
        .Expect("12 40 05 20 13 00 80 00 E4", BlockHex("21 40 05 80 01 03 90 00"));
    EXPECT_EQ(Power(b, SCARD_POWER_DOWN).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(ReaderCardPower, SilentReaderIsAnIoTimeoutAndChangesNothing) {
  ExpectOk(RunReader([](LinkBench& b) {
    ReaderFarEnd silent(*b.line, nullptr);
    SetState(b, SCARD_POWERED);
    b.extension->CardCapabilities.ATR.Length = 4;
    Call c = Power(b, SCARD_COLD_RESET);
    EXPECT_EQ(c.status, STATUS_IO_TIMEOUT) << "never the success-class STATUS_TIMEOUT";
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(silent.commands.size(), 1u);
  }));
}

TEST(ReaderCardPower, UnknownPowerCodeSendsNothing) {
  ExpectOk(RunReader([](LinkBench& b) {
    EXPECT_EQ(Power(b, 7).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(b.line->writes.empty());
  }));
}
