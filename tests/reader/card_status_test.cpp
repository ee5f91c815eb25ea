// The status query and the card state: how the reader's GET STATUS answer becomes a library card
// state, and what each state change keeps or clears.
#include "tests/reader/reader_bench.h"

using namespace reader_test;

namespace {

NTSTATUS Query(LinkBench& b) {
  KeWaitForSingleObject(&b.reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = QueryCardStatus(b.extension);
  KeReleaseMutex(&b.reader->LinkMutex, FALSE);
  return status;
}

}  // namespace

TEST(QueryCardStatus, GoesOutAsTheGetStatusBlockToTheReader) {
  ExpectOk(RunReader([](LinkBench& b) {
    ScriptedPeer peer(*b.line);
    peer.Expect("12 00 05 20 13 00 80 00 A4", BlockHex("21 00 05 80 01 05 90 00"));
    EXPECT_EQ(Query(b), STATUS_SUCCESS);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
    EXPECT_TRUE(peer.Done());
  }));
}

TEST(QueryCardStatus, DecodesTheStatusByteOfEitherAnswerForm) {
  struct Case {
    const char* answer;
    ULONG state;
  };
  const Case cases[] = {
      {"80 01 05 90 00", SCARD_POWERED},   {"80 01 03 90 00", SCARD_SWALLOWED},
      {"80 01 00 90 00", SCARD_ABSENT},    {"01 90 00", SCARD_SWALLOWED},
      {"05 90 00", SCARD_POWERED},         {"80 02 05 00 90 00", SCARD_POWERED},
      {"80 05 05 90 00", SCARD_ABSENT},    {"6F 00", SCARD_ABSENT},
      {"80 01 07 90 00", SCARD_SWALLOWED}, {"80 01 05 6F 00", SCARD_ABSENT},
      {"80 00 90 00", SCARD_ABSENT},       {"90 00", SCARD_ABSENT},
      {"80 01 05 05 90 00", SCARD_ABSENT},
  };
  ExpectOk(RunReader([&](LinkBench& b) {
    Bytes answer;
    auto far = StatusReader(b, &answer);
    for (const Case& c : cases) {
      answer = Hex(c.answer);
      SetState(b, SCARD_PRESENT);  // distinct from every outcome
      b.extension->CardCapabilities.ATR.Length = 5;
      EXPECT_EQ(Query(b), STATUS_SUCCESS) << c.answer;
      EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, c.state) << c.answer;
      EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, c.state == SCARD_POWERED ? 5 : 0)
          << c.answer << ": only a powered card keeps its ATR";
    }
  }));
}

TEST(QueryCardStatus, AnswerWithoutStatusWordOrFailedExchangeLeavesTheState) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes answer = Hex("90");
    auto far = StatusReader(b, &answer);
    SetState(b, SCARD_SWALLOWED);
    b.extension->CardCapabilities.ATR.Length = 3;
    EXPECT_EQ(Query(b), STATUS_DEVICE_PROTOCOL_ERROR);
    answer = {};
    EXPECT_EQ(Query(b), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 3);

    far->silent = true;
    EXPECT_EQ(Query(b), STATUS_IO_TIMEOUT) << "never the success-class STATUS_TIMEOUT";
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 3);
  }));
}

TEST(SetCardState, PoweredKeepsANegotiatedCardAndItsAtrOthersReplaceAndClear) {
  ExpectOk(RunReader([](LinkBench& b) {
    auto& state = b.extension->ReaderCapabilities.CurrentState;
    auto& atr = b.extension->CardCapabilities.ATR.Length;
    struct Case {
      ULONG before, set, after;
      bool atr_kept;
    };
    const Case cases[] = {
        {SCARD_SPECIFIC, SCARD_POWERED, SCARD_SPECIFIC, true},
        {SCARD_NEGOTIABLE, SCARD_POWERED, SCARD_NEGOTIABLE, true},
        {SCARD_SWALLOWED, SCARD_POWERED, SCARD_POWERED, true},
        {SCARD_ABSENT, SCARD_POWERED, SCARD_POWERED, true},
        {SCARD_SPECIFIC, SCARD_SWALLOWED, SCARD_SWALLOWED, false},
        {SCARD_SPECIFIC, SCARD_ABSENT, SCARD_ABSENT, false},
        {SCARD_POWERED, SCARD_PRESENT, SCARD_PRESENT, false},
        {SCARD_POWERED, SCARD_UNKNOWN, SCARD_ABSENT, false},
        {SCARD_POWERED, SCARD_SPECIFIC, SCARD_ABSENT, false},
    };
    for (const Case& c : cases) {
      state = c.before;
      atr = 9;
      EXPECT_EQ(SetCardState(b.extension, c.set), STATUS_SUCCESS);
      EXPECT_EQ(state, c.after) << c.before << " -> " << c.set;
      EXPECT_EQ(atr, c.atr_kept ? 9 : 0) << c.before << " -> " << c.set;
    }
  }));
}
