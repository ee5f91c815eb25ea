// The raw reader command and the vendor request from an application's handle on
// \Device\USBTESK0, through the whole stack to the simulated reader: the commands the driver
// answers or follows itself, the line's rate switch, and lengths that do not fit.
#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"
#include "sim/reader_protocol.h"
#include "tests/support/machine_run.h"

using host::io::IoResult;
using host::machine::Converter;
using host::machine::Machine;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kGetStatus = {0x20, 0x13, 0x00, 0x80, 0x00};
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
constexpr size_t kRate115200 = 5;
constexpr ULONG kVendorTag = 0x7A000;  // an attribute of the vendor-defined class

void OnReader(const std::function<void(Machine&, Converter&, ReaderHandle&)>& body,
              host::machine::ConverterOptions options = {}) {
  EXPECT_TRUE(test_support::RunMachine(1, [&](Machine& m) {
    Converter& c = m.Plug(options);
    ReaderHandle reader(m);
    ASSERT_EQ(reader.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    body(m, c, reader);
  }));
}

// Blocks on the line that carried the command to the reader.
size_t Sent(Converter& c, const Bytes& command) {
  size_t n = 0;
  for (const auto& b : c.line_trace().Blocks()) {
    Bytes inf(b.bytes.begin() + std::min<size_t>(3, b.bytes.size()),
              b.bytes.end() - (b.bytes.empty() ? 0 : 1));
    n += b.direction == sim::Direction::kHostToReader && inf == command;
  }
  return n;
}

Bytes SetRate(size_t code) {
  return {0x80, 0x60, 0x00, 0x00, 0x03, sim::kTagRateCode, 0x01, uint8_t(code)};
}

TEST(RawReaderCommand, TheReaderResetIsAnsweredWithoutTheReader) {
  OnReader([](Machine&, Converter& c, ReaderHandle& r) {
    const Bytes reader_reset = {0x20, 0x10, 0x00, 0x00};
    const Bytes slot_reset = {0x20, 0x10, 0x01, 0x01};
    const Bytes unknown = {0x20, 0x11, 0x00, 0x00};
    IoResult reset = r.RawReaderCommand(reader_reset);
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(reset.output, (Bytes{0x90, 0x00}));
    EXPECT_EQ(Sent(c, reader_reset), 0u);
    // The slot's reset and any other instruction go to the reader.
    EXPECT_EQ(r.RawReaderCommand(slot_reset).output.back(), 0x01);
    EXPECT_EQ(r.RawReaderCommand(unknown).output, (Bytes{0x6D, 0x00}));
    EXPECT_EQ(Sent(c, slot_reset), 1u);
    EXPECT_EQ(Sent(c, unknown), 1u);
    // A command too short to be matched goes to the reader as it is.
    EXPECT_EQ(r.RawReaderCommand(Bytes{0x20}).status, STATUS_SUCCESS);
  });
}

TEST(RawReaderCommand, RateSwitchFollowsTheReaderAndASessionRunsAtTheNewRate) {
  OnReader([](Machine& m, Converter& c, ReaderHandle& r) {
    IoResult answer = r.RawReaderCommand(SetRate(kRate115200));
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.output, (Bytes{0x90, 0x00}));
    EXPECT_EQ(c.converter().line_settings().bit_rate, 115200u);
    EXPECT_EQ(c.line().reader_end().settings().bit_rate, 115200u);
    host::kernel::Ticks switched = m.Now();
    ASSERT_EQ(r.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(r.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(r.Transmit(kSelectMf).output, (Bytes{0x90, 0x00}));
    // The reader's blocks now come at 115200 bit/s: 11 bits a character, under 0.1 ms each.
    size_t answers = 0;
    for (const auto& b : c.line_trace().Blocks()) {
      if (b.first < switched || b.direction != sim::Direction::kReaderToHost) continue;
      ++answers;
      EXPECT_TRUE(b.lrc_ok);
      EXPECT_LE(b.last - b.first, host::kernel::Microseconds(96) * (b.bytes.size() - 1));
    }
    EXPECT_GE(answers, 3u);
  });
}

TEST(RawReaderCommand, ARateTheReaderRefusesLeavesTheLineAlone) {
  host::machine::ConverterOptions options;
  options.rig.reader.reader.rate_codes_accepted = 0x1F;  // no 115200
  OnReader(
      [](Machine&, Converter& c, ReaderHandle& r) {
        IoResult answer = r.RawReaderCommand(SetRate(kRate115200));
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(answer.output, (Bytes{0x6A, 0x00}));
        EXPECT_EQ(c.converter().line_settings().bit_rate, 9600u);
        // Without a rate object, or with an unknown rate code, nothing changes either.
        EXPECT_EQ(r.RawReaderCommand(SetRate(6)).status, STATUS_SUCCESS);
        EXPECT_EQ(r.RawReaderCommand(Bytes{0x80, 0x60, 0x00, 0x00, 0x03, 0x22, 0x01, 0x02}).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(c.converter().line_settings().bit_rate, 9600u);
        EXPECT_EQ(r.RawReaderCommand(kGetStatus).status, STATUS_SUCCESS);
      },
      options);
}

TEST(RawReaderCommand, LengthsThatDoNotFitAreRefused) {
  OnReader([](Machine&, Converter& c, ReaderHandle& r) {
    // A first command waits at the link's gate for the bring-up that follows the start, and card
    // tracking's first query (which waited there too) follows it.
    EXPECT_EQ(r.RawReaderCommand(kGetStatus, 65536).status, STATUS_SUCCESS);
    LARGE_INTEGER settle;
    settle.QuadPart = -host::kernel::Milliseconds(200);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    uint64_t asked = c.reader().stats().reader_commands;
    // No command, a command longer than the command buffer, no room for a status word: nothing
    // goes to the reader.
    EXPECT_EQ(r.RawReaderCommand(Bytes{}).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.RawReaderCommand(kGetStatus, 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.RawReaderCommand(Bytes(513, 0x20)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.RawReaderCommand(kGetStatus, 1).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.RawReaderCommand(Bytes{0x20, 0x10, 0x00, 0x00}, 1).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.reader().stats().reader_commands, asked);
    // An answer longer than the output buffer: the reader is asked once, nothing comes back.
    IoResult cut = r.RawReaderCommand(kGetStatus, 3);
    EXPECT_EQ(cut.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(cut.information, 0u);
    EXPECT_EQ(c.reader().stats().reader_commands, asked + 1);
    // The largest buffers are fine; the link is in step afterwards.
    EXPECT_EQ(r.RawReaderCommand(Bytes(512, 0x00), 65536).status, STATUS_SUCCESS);
    IoResult status = r.RawReaderCommand(kGetStatus, 65536);
    EXPECT_EQ(status.status, STATUS_SUCCESS);
    EXPECT_EQ(status.output.size(), 5u);
  });
}

TEST(VendorRequest, AnswersItsTextWhenThereIsRoom) {
  OnReader([](Machine&, Converter&, ReaderHandle& r) {
    IoResult answer = r.GetAttribute(kVendorTag, 13);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.information, 12u);
    EXPECT_EQ(host::machine::OutputText(answer), "Vendor IOCTL");
    EXPECT_EQ(r.GetAttribute(kVendorTag, 12).status, STATUS_BUFFER_TOO_SMALL);
  });
}

}  // namespace
