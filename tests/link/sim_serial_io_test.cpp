// The simulated serial routine against the simulated line and reader: what each request does on
// the line, read time limits in virtual time, partial reads, purge, settings that really garble
// when the ends disagree, DTR powering the reader; and SimLink bringing the link up on it.
#include <cstring>

#include "sim/line_trace.h"
#include "sim/uart_settings.h"
#include "tests/link/sim_link_test_util.h"

using namespace sim_link_test;
using sim::Direction;
using sim::LineEvent;
using test_support::SimSerialIo;

using host::kernel::RoundUpToClockTick;

namespace {

const Bytes kGetStatusBlock = Hex("12 00 05 20 13 00 80 00 A4");
const Bytes kStatusAnswerUnpowered = Hex("21 00 05 80 01 01 90 00 34");
const Bytes kStatusAnswerPowered = Hex("21 00 05 80 01 05 90 00 30");
const Bytes kResetBlock = Hex("12 40 04 20 10 01 01 66");

// One request straight to the routine, with its data copied into the library's request buffer.
NTSTATUS Call(SimLink& link, ULONG code, const Bytes& data = {}) {
  PSMARTCARD_EXTENSION ext = link.extension();
  if (!data.empty()) std::memcpy(ext->SmartcardRequest.Buffer, data.data(), data.size());
  ext->SmartcardRequest.BufferLength = ULONG(data.size());
  ext->ReaderExtension->SerialIoctl = code;
  return SimSerialIo::SerialIo(ext);
}

template <class T>
Bytes Raw(const T& value) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &value, sizeof(T));
  return b;
}

NTSTATUS SetTimeouts(SimLink& link, ULONG multiplier, ULONG constant) {
  SERIAL_TIMEOUTS t{multiplier, multiplier, constant, 1, 1000};
  return Call(link, IOCTL_SERIAL_SET_TIMEOUTS, Raw(t));
}

struct ReadResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG length = 0;  // SmartcardReply.BufferLength afterwards
  Bytes bytes;
};

ReadResult Read(SimLink& link, ULONG wanted) {
  PSMARTCARD_EXTENSION ext = link.extension();
  ext->SmartcardReply.BufferLength = wanted;
  ext->ReaderExtension->SerialIoctl = SMARTCARD_READ;
  ReadResult r;
  r.status = SimSerialIo::SerialIo(ext);
  r.length = ext->SmartcardReply.BufferLength;
  r.bytes.assign(ext->SmartcardReply.Buffer, ext->SmartcardReply.Buffer + r.length);
  return r;
}

// A whole block as the link reads it: NAD, PCB and LEN, then INF and LRC.
Bytes ReadBlock(SimLink& link) {
  ReadResult head = Read(link, 3);
  if (head.status != STATUS_SUCCESS || head.length != 3) return head.bytes;
  ReadResult rest = Read(link, ULONG(head.bytes[2]) + 1);
  Bytes block = head.bytes;
  block.insert(block.end(), rest.bytes.begin(), rest.bytes.end());
  return block;
}

Bytes SentToReader(SimLink& link) {
  return link.trace().Bytes(Direction::kHostToReader, LineEvent::Kind::kSent);
}

void ExpectOk(const host::kernel::RunResult& r) { EXPECT_TRUE(r.ok()) << r.report; }

}  // namespace

TEST(SimSerialIo, WritePutsTheBlockOnTheLineAndReturnsOnceTheConverterTookIt) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    Ticks start = k.Now();
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kGetStatusBlock), STATUS_SUCCESS);
    EXPECT_EQ(k.Now(), start);  // nine characters fit into the converter at once
    Sleep(Milliseconds(20));
    EXPECT_EQ(SentToReader(link), kGetStatusBlock);

    // 200 characters: the write waits until the last 64 are all that is left.
    Bytes long_block(200);
    for (size_t i = 0; i < long_block.size(); ++i) long_block[i] = uint8_t(i);
    start = k.Now();
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, long_block), STATUS_SUCCESS);
    EXPECT_EQ(k.Now() - start,
              RoundUpToClockTick((200 - 64) * sim::CharacterTime(sim::kLinkSettings)));
    EXPECT_EQ(link.line().converter_end().TransmitQueued(), 64u);

    auto requests = link.serial().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, ULONG(SMARTCARD_WRITE));
    EXPECT_EQ(requests[0].data, kGetStatusBlock);
    EXPECT_EQ(requests[1].data, long_block);
  }));
}

TEST(SimSerialIo, ReadWaitsMissingBytesTimesMultiplierPlusConstantInVirtualTime) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    // The device's own limits until the link sets some: 3 x 50 + 5000 ms, on the clock tick.
    Ticks start = k.Now();
    ReadResult r = Read(link, 3);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(k.Now() - start, RoundUpToClockTick(Milliseconds(5150)));

    ASSERT_EQ(SetTimeouts(link, 500, 5000), STATUS_SUCCESS);
    start = k.Now();
    r = Read(link, 3);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(k.Now() - start, RoundUpToClockTick(Milliseconds(6500)));
    EXPECT_EQ(link.serial().requests().back().timeout_ms, 6500u);

    // Two of five bytes: success with the two, once the interval has passed without a third.
    link.line().reader_end().Transmit({0x21, 0x00});
    start = k.Now();
    r = Read(link, 5);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, Hex("21 00"));
    EXPECT_EQ(k.Now(), RoundUpToClockTick(link.trace().events().back().time + Milliseconds(500)));
    EXPECT_EQ(link.serial().requests().back().delivered, 2u);

    // Without an interval, bytes already in count against the limit: one of three in, two missing.
    ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_TIMEOUTS, Raw(SERIAL_TIMEOUTS{0, 500, 5000, 1, 1000})),
              STATUS_SUCCESS);
    link.line().reader_end().Transmit({0x01});
    Sleep(Milliseconds(5));
    start = k.Now();
    r = Read(link, 3);
    EXPECT_EQ(r.bytes, Hex("01"));
    EXPECT_EQ(k.Now() - start, RoundUpToClockTick(Milliseconds(2 * 500 + 5000)));

    // All there in time: the read returns with the last character.
    link.line().reader_end().Transmit({0x0A, 0x0B, 0x0C});
    start = k.Now();
    r = Read(link, 3);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, Hex("0A 0B 0C"));
    EXPECT_LT(k.Now() - start, Milliseconds(4));
  }));
}

TEST(SimSerialIo, ZeroByteReadsAndOverlongReplies) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    Ticks start = k.Now();
    EXPECT_EQ(Read(link, 0).status, STATUS_TIMEOUT);  // nothing queued
    EXPECT_EQ(k.Now(), start);
    link.line().reader_end().Transmit({0x42});
    Sleep(Milliseconds(5));
    ReadResult r = Read(link, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(Read(link, 1).bytes, Hex("42"));  // still there

    // A reply longer than its buffer is cut to the buffer.
    ASSERT_EQ(SetTimeouts(link, 0, 10), STATUS_SUCCESS);
    ULONG size = link.extension()->SmartcardReply.BufferSize;
    Read(link, size + 100);
    EXPECT_EQ(link.serial().requests().back().wanted, size);
  }));
}

TEST(SimSerialIo, PurgeDropsWhatArrivedAndWasNotRead) {
  ExpectOk(RunSimLink([](Kernel&, SimLink& link) {
    link.line().reader_end().Transmit({0x01, 0x02, 0x03});
    Sleep(Milliseconds(10));
    EXPECT_EQ(link.serial().port().available(), 3u);
    ULONG mask = SERIAL_PURGE_TXABORT;  // the mask does not matter
    ASSERT_EQ(Call(link, IOCTL_SERIAL_PURGE, Raw(mask)), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(link, 0, 100), STATUS_SUCCESS);
    EXPECT_EQ(Read(link, 1).status, STATUS_TIMEOUT);
    EXPECT_EQ(link.serial().requests()[0].data, Raw(mask));
  }));
}

TEST(SimSerialIo, BaudRateAndLineControlReachTheConverterEnd) {
  ExpectOk(RunSimLink([](Kernel&, SimLink& link) {
    sim::SerialLine::End& end = link.line().converter_end();
    auto baud = [&](ULONG rate) { return Call(link, IOCTL_SERIAL_SET_BAUD_RATE, Raw(rate)); };
    EXPECT_EQ(baud(19200), STATUS_SUCCESS);
    EXPECT_EQ(end.settings().bit_rate, 19200u);
    EXPECT_EQ(baud(38400), STATUS_SUCCESS);
    EXPECT_EQ(end.settings().bit_rate, 38400u);
    EXPECT_EQ(baud(14400), STATUS_SUCCESS);  // no rate bit for it: the rate stays
    EXPECT_EQ(end.settings().bit_rate, 38400u);
    EXPECT_EQ(baud(9600), STATUS_SUCCESS);
    EXPECT_EQ(end.settings().bit_rate, 9600u);

    auto line = [&](UCHAR stop, UCHAR parity) {
      SERIAL_LINE_CONTROL c{stop, parity, 8};
      EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_LINE_CONTROL, Raw(c)), STATUS_SUCCESS);
      return end.settings().ToString();
    };
    EXPECT_EQ(line(STOP_BITS_2, NO_PARITY), "9600 8N2");
    EXPECT_EQ(line(STOP_BITS_1_5, ODD_PARITY), "9600 8O2");
    EXPECT_EQ(line(STOP_BIT_1, MARK_PARITY), "9600 8O1");  // mark parity: parity unchanged
    EXPECT_EQ(line(STOP_BIT_1, EVEN_PARITY), "9600 8E1");
    SERIAL_LINE_CONTROL seven_bits{STOP_BIT_1, EVEN_PARITY, 7};
    EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_LINE_CONTROL, Raw(seven_bits)), STATUS_SUCCESS);
    EXPECT_EQ(end.settings().data_bits, 8);  // the word length does not reach the converter
  }));
}

TEST(SimSerialIo, MismatchedRateOrFramingGarblesTheLine) {
  ExpectOk(RunSimLink([](Kernel&, SimLink& link) {
    ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    Sleep(Milliseconds(150));
    ASSERT_EQ(SetTimeouts(link, 50, 500), STATUS_SUCCESS);

    ULONG fast = 19200;
    ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_BAUD_RATE, Raw(fast)), STATUS_SUCCESS);
    link.line().reader_end().Transmit(kStatusAnswerUnpowered);
    Sleep(Milliseconds(50));
    Bytes garbled = link.serial().port().TakeAll();
    EXPECT_NE(garbled, kStatusAnswerUnpowered);
    // The reader cannot make sense of a block sent at twice its rate: no answer.
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kGetStatusBlock), STATUS_SUCCESS);
    EXPECT_NE(ReadBlock(link), kStatusAnswerUnpowered);

    ULONG link_rate = 9600;
    ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_BAUD_RATE, Raw(link_rate)), STATUS_SUCCESS);
    Sleep(Milliseconds(200));
    link.serial().port().Purge();
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kGetStatusBlock), STATUS_SUCCESS);
    EXPECT_EQ(ReadBlock(link), kStatusAnswerUnpowered);

    // Without parity on the converter's side the reader samples the next start bit as a stop
    // bit: characters run together and no whole block arrives, so the reader stays silent.
    SERIAL_LINE_CONTROL no_parity{STOP_BIT_1, NO_PARITY, 8};
    ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_LINE_CONTROL, Raw(no_parity)), STATUS_SUCCESS);
    link.trace().Clear();
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, Hex("12 40 05 20 13 00 80 00 E4")), STATUS_SUCCESS);
    EXPECT_TRUE(ReadBlock(link).empty());
    int framing_errors = 0;
    for (const LineEvent& e : link.trace().events()) {
      if (e.kind == LineEvent::Kind::kReceived && e.framing_error) ++framing_errors;
    }
    EXPECT_GT(framing_errors, 0);
  }));
}

TEST(SimSerialIo, TheLinkComesUpOnlyWithTheReadersSettings) {
  ExpectOk(RunSimLink([](Kernel&, SimLink& link) {
    link.reader_extension()->LinkLineControl.Parity = NO_PARITY;
    EXPECT_EQ(link.PowerUp(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(link.reader_extension()->LinkState, ULONG(LINK_STATE_GIVEN_UP));
    link.reader_extension()->LinkLineControl.Parity = EVEN_PARITY;
    // The DTR cycle restarts the reader at 9600 bit/s: a rate stored before it goes back to 9600
    // with the reader, on both ends.
    link.reader_extension()->LinkBaudRate.BaudRate = 19200;
    ASSERT_EQ(link.PowerUp(), STATUS_SUCCESS);
    EXPECT_EQ(link.reader_extension()->LinkBaudRate.BaudRate, 9600u);
    SimExchange x = link.Transceive(T1_NODE_READER, kGetStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kStatusCardUnpowered);
  }));
}

TEST(SimSerialIo, DtrPowersTheReader) {
  ExpectOk(RunSimLink([](Kernel& k, SimLink& link) {
    ASSERT_EQ(SetTimeouts(link, 50, 1000), STATUS_SUCCESS);
    // DTR low: the reader is off and answers nothing.
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kGetStatusBlock), STATUS_SUCCESS);
    EXPECT_EQ(Read(link, 1).status, STATUS_TIMEOUT);

    ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_TRUE(link.line().dtr());
    k.SleepFor(Milliseconds(99));  // the reader's time, to the millisecond: not the clock tick
    EXPECT_FALSE(link.reader().booted());
    k.SleepFor(Milliseconds(2));
    EXPECT_TRUE(link.reader().booted());  // 100 ms after DTR rose

    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kGetStatusBlock), STATUS_SUCCESS);
    EXPECT_EQ(ToHex(ReadBlock(link)), ToHex(kStatusAnswerUnpowered));
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kResetBlock), STATUS_SUCCESS);
    Bytes reset_answer = ReadBlock(link);
    ASSERT_EQ(reset_answer.size(), 3u + kBuiltinAtrAndReset.size() + 1);
    EXPECT_EQ(Bytes(reset_answer.begin() + 3, reset_answer.end() - 1), kBuiltinAtrAndReset);
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kGetStatusBlock), STATUS_SUCCESS);
    EXPECT_EQ(ToHex(ReadBlock(link)), ToHex(kStatusAnswerPowered));

    // DTR falls: the reader loses power at once.
    ASSERT_EQ(Call(link, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    Sleep(Milliseconds(1));
    EXPECT_FALSE(link.reader().booted());
    EXPECT_FALSE(link.reader().card_powered());
    ASSERT_EQ(Call(link, SMARTCARD_WRITE, kGetStatusBlock), STATUS_SUCCESS);
    EXPECT_EQ(Read(link, 1).status, STATUS_TIMEOUT);
  }));
}

TEST(SimSerialIo, DtrCycleOfOneClearAndSevenSetsBootsTheReaderOnce) {
  ExpectOk(RunSimLink([](Kernel&, SimLink& link) {
    ASSERT_EQ(Call(link, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    Sleep(Milliseconds(50));
    for (int i = 0; i < 7; ++i) {
      ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
      Sleep(Milliseconds(250));
    }
    EXPECT_EQ(link.serial().Count(IOCTL_SERIAL_CLR_DTR), 1u);
    EXPECT_EQ(link.serial().Count(IOCTL_SERIAL_SET_DTR), 7u);
    auto modem = link.line().modem_counters();
    EXPECT_EQ(modem.dtr_off_requests, 1u);
    EXPECT_EQ(modem.dtr_on_requests, 7u);
    EXPECT_EQ(modem.dtr_rises, 1u);
    EXPECT_EQ(link.reader().stats().boots, 1u);

    ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_TRUE(link.line().rts());
    ASSERT_EQ(Call(link, IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    EXPECT_FALSE(link.line().rts());
  }));
}

TEST(SimSerialIo, SettingsWithoutEffectUnknownCodesAndShortBuffers) {
  ExpectOk(RunSimLink([](Kernel&, SimLink& link) {
    sim::UartSettings before = link.line().converter_end().settings();
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
    EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_CHARS, Raw(chars)), STATUS_SUCCESS);
    EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_HANDFLOW, Raw(handflow)), STATUS_SUCCESS);
    EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    EXPECT_EQ(link.line().converter_end().settings(), before);
    EXPECT_EQ(Call(link, IOCTL_SERIAL_GET_BAUD_RATE), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Call(link, 0x12345678), STATUS_INVALID_DEVICE_REQUEST);

    // Settings records shorter than their type are not read.
    EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_BAUD_RATE, Hex("00 4B")), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_LINE_CONTROL, Hex("02 00")), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(link.line().converter_end().settings(), before);
    // A timeouts record of 16 bytes changes nothing, as on the device.
    SERIAL_TIMEOUTS limits = link.serial().timeouts();
    EXPECT_EQ(Call(link, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(16, 0xFF)), STATUS_SUCCESS);
    SERIAL_TIMEOUTS after = link.serial().timeouts();
    EXPECT_EQ(std::memcmp(&limits, &after, sizeof(limits)), 0);

    // A request longer than its buffer is refused and nothing is sent.
    PSMARTCARD_EXTENSION ext = link.extension();
    ext->SmartcardRequest.BufferLength = ext->SmartcardRequest.BufferSize + 1;
    ext->ReaderExtension->SerialIoctl = SMARTCARD_WRITE;
    EXPECT_EQ(SimSerialIo::SerialIo(ext), STATUS_BUFFER_TOO_SMALL);
    Sleep(Milliseconds(10));
    EXPECT_TRUE(SentToReader(link).empty());

    std::vector<ULONG> expected = {IOCTL_SERIAL_SET_CHARS,
                                   IOCTL_SERIAL_SET_HANDFLOW,
                                   IOCTL_SERIAL_SET_BREAK_OFF,
                                   IOCTL_SERIAL_GET_BAUD_RATE,
                                   0x12345678,
                                   IOCTL_SERIAL_SET_BAUD_RATE,
                                   IOCTL_SERIAL_SET_LINE_CONTROL,
                                   IOCTL_SERIAL_SET_TIMEOUTS,
                                   SMARTCARD_WRITE};
    EXPECT_EQ(link.serial().Codes(), expected);
  }));
}

TEST(SimLink, PowerUpSetsTheLineCyclesDtrAndBringsTheLinkIntoStep) {
  ExpectOk(RunSimLink([](Kernel&, SimLink& link) {
    ASSERT_EQ(link.PowerUp(), STATUS_SUCCESS);
    std::vector<ULONG> codes = link.serial().Codes();
    std::vector<ULONG> setup = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                IOCTL_SERIAL_SET_CHARS,     IOCTL_SERIAL_SET_TIMEOUTS,
                                IOCTL_SERIAL_SET_HANDFLOW,  IOCTL_SERIAL_SET_BREAK_OFF,
                                IOCTL_SERIAL_SET_DTR,       IOCTL_SERIAL_CLR_DTR};
    // The driver's serial setup ends with DTR on; its cycle turns it off once, then on seven times.
    setup.insert(setup.end(), 7, IOCTL_SERIAL_SET_DTR);
    ASSERT_GE(codes.size(), setup.size());
    EXPECT_EQ(std::vector<ULONG>(codes.begin(), codes.begin() + long(setup.size())), setup);
    EXPECT_TRUE(link.reader().booted());
    EXPECT_EQ(link.reader_extension()->LinkState, ULONG(LINK_STATE_IN_STEP));
    EXPECT_EQ(link.reader_extension()->Ifsc, 254);
    EXPECT_EQ(link.reader().ifsd(), 254);
    std::string blocks = link.trace().BlockText();
    EXPECT_NE(blocks.find("host->reader 00 C0 00 C0"), std::string::npos) << blocks;
    EXPECT_NE(blocks.find("host->reader 00 C1 01 FE 3E"), std::string::npos) << blocks;

    SimExchange status = link.Transceive(T1_NODE_READER, kGetStatus);
    EXPECT_EQ(status.status, STATUS_SUCCESS);
    EXPECT_EQ(status.reply, kStatusCardUnpowered);
    EXPECT_EQ(status.sad, T1_NODE_READER);
    EXPECT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply, kBuiltinAtrAndReset);
    EXPECT_EQ(link.Transceive(T1_NODE_READER, kGetStatus).reply, kStatusCardPowered);
    SimExchange pattern = link.Transceive(T1_NODE_CARD, ReadPattern(600));
    EXPECT_EQ(pattern.status, STATUS_SUCCESS);
    EXPECT_EQ(pattern.reply, PatternAnswer(600));
    EXPECT_EQ(pattern.sad, T1_NODE_CARD);
    EXPECT_EQ(link.power_ups(), 1);
  }));
}

TEST(SimLink, CardKinds) {
  SimLinkOptions none;
  none.card = test_support::SimCardKind::kNone;
  ExpectOk(RunSimLink(
      [](Kernel&, SimLink& link) {
        ASSERT_EQ(link.PowerUp(), STATUS_SUCCESS);
        EXPECT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply, Hex("64 A1"));
        SimExchange x = link.Transceive(T1_NODE_CARD, ReadPattern(4));
        EXPECT_EQ(x.reply, Hex("64 A1"));
        EXPECT_EQ(x.sad, T1_NODE_READER);  // the reader answers for the missing card
      },
      none));
  SimLinkOptions t0;
  t0.card = test_support::SimCardKind::kT0Only;
  ExpectOk(RunSimLink(
      [](Kernel&, SimLink& link) {
        ASSERT_EQ(link.PowerUp(), STATUS_SUCCESS);
        EXPECT_EQ(link.Transceive(T1_NODE_READER, kResetCard).reply,
                  Hex("3B 93 11 00 80 31 C0 90 01"));
      },
      t0));
}

TEST(SimSerialIo, DamagedCharactersAreFlaggedIgnoredOrDropped) {
  using sim::CharacterErrors;
  for (CharacterErrors mode :
       {CharacterErrors::kFlag, CharacterErrors::kIgnore, CharacterErrors::kDrop}) {
    SimLinkOptions options;
    options.serial.damaged_characters = mode;
    ExpectOk(RunSimLink(
        [mode](Kernel&, SimLink& link) {
          SERIAL_LINE_CONTROL odd{STOP_BIT_1, ODD_PARITY, 8};
          ASSERT_EQ(Call(link, IOCTL_SERIAL_SET_LINE_CONTROL, Raw(odd)), STATUS_SUCCESS);
          ASSERT_EQ(SetTimeouts(link, 0, 100), STATUS_SUCCESS);
          link.line().reader_end().Transmit({0x21, 0x00, 0x05});  // parity errors, values intact
          ReadResult r = Read(link, 3);
          if (mode == CharacterErrors::kDrop) {
            EXPECT_EQ(r.status, STATUS_TIMEOUT);
          } else {
            EXPECT_EQ(r.bytes, Hex("21 00 05"));
          }
          EXPECT_EQ(link.serial().port().error_count(), 3u);
          // Reported once, as a serial port reports its line errors, unless ignored.
          Bytes status(sizeof(SERIAL_STATUS), 0);
          for (ULONG expected : {mode == CharacterErrors::kIgnore ? 0u : SERIAL_ERROR_PARITY, 0u}) {
            ASSERT_EQ(Call(link, IOCTL_SERIAL_GET_COMMSTATUS, status), STATUS_SUCCESS);
            SERIAL_STATUS reported;
            std::memcpy(&reported, link.extension()->SmartcardRequest.Buffer, sizeof reported);
            EXPECT_EQ(reported.Errors, expected);
          }
        },
        options));
  }
}
