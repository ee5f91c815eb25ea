// A line rate switched with the raw reader command, then a transition that restarts the reader
// through DTR (sleep and wake, stop and start, the reader restarting, the given-up link repaired
// at a card reset): the converter goes back to the default rate with the reader, the rate is asked
// for again, and the session goes on. A switch that fails half-way is reported, not hidden.
#include <gtest/gtest.h>

#include "host/machine/reader_handle.h"
#include "sim/converter/converter_protocol.h"
#include "sim/reader_protocol.h"
#include "tests/support/machine_run.h"

using host::io::IoResult;
using host::machine::Converter;
using host::machine::Machine;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSwOk = {0x90, 0x00};

Bytes SetRate(uint8_t code) {
  return {0x80, 0x60, 0x00, 0x00, 0x03, sim::kTagRateCode, 0x01, code};
}

// A cold reset (a second one allowed, for the first request after the reader restarted on its
// own) and SELECT at T=1.
bool SessionWorks(ReaderHandle& r) {
  NTSTATUS reset = r.Power(SCARD_COLD_RESET).status;
  if (reset != STATUS_SUCCESS) reset = r.Power(SCARD_COLD_RESET).status;
  EXPECT_EQ(reset, STATUS_SUCCESS) << std::hex << reset;
  if (reset != STATUS_SUCCESS) return false;
  EXPECT_EQ(r.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  IoResult select = r.Transmit(kSelectMf);
  EXPECT_EQ(select.output, kSwOk) << std::hex << select.status;
  return select.output == kSwOk;
}

enum class Transition { kSleepAndWake, kStopAndStart, kReaderRestart, kGivenUpLinkRepair };

}  // namespace

TEST(RateChange, EveryDtrCycleKeepsTheDeviceAliveAndAsksForTheRateAgain) {
  struct Case {
    Transition transition;
    uint8_t code;
    uint32_t rate;
  };
  for (Case k :
       {Case{Transition::kSleepAndWake, 5, 115200}, Case{Transition::kStopAndStart, 3, 38400},
        Case{Transition::kReaderRestart, 4, 57600},
        Case{Transition::kGivenUpLinkRepair, 5, 115200}}) {
    SCOPED_TRACE(int(k.transition));
    EXPECT_TRUE(test_support::RunMachine(1, [&](Machine& m) {
      Converter& c = m.Plug();
      ReaderHandle r(m);
      ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
      IoResult switched = r.RawReaderCommand(SetRate(k.code));
      ASSERT_EQ(switched.status, STATUS_SUCCESS);
      ASSERT_EQ(switched.output, kSwOk);
      ASSERT_EQ(c.converter().line_settings().bit_rate, k.rate);
      uint64_t boots = c.reader().stats().boots;
      switch (k.transition) {
        case Transition::kSleepAndWake:
          ASSERT_EQ(m.Sleep(), STATUS_SUCCESS);
          m.Wait(host::kernel::Seconds(2));
          ASSERT_EQ(m.Wake(), STATUS_SUCCESS);
          break;
        case Transition::kStopAndStart:
          ASSERT_EQ(r.Close(), STATUS_SUCCESS);
          ASSERT_EQ(c.Stop(), STATUS_SUCCESS);
          ASSERT_EQ(c.Start(), STATUS_SUCCESS);
          ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
          break;
        case Transition::kReaderRestart:
          c.reader().RestartAt(m.Now() + host::kernel::Milliseconds(10));
          m.Wait(host::kernel::Seconds(3));
          break;
        case Transition::kGivenUpLinkRepair:
          c.reader().RestartAt(m.Now() + host::kernel::Milliseconds(10));
          m.Wait(host::kernel::Seconds(3));
          // The first request after the restart finds a reader at another rate: the link is
          // given up, and the card reset below repairs it.
          EXPECT_NE(r.Transmit(kSelectMf).status, STATUS_SUCCESS);
          break;
      }
      EXPECT_TRUE(SessionWorks(r));
      EXPECT_GT(c.reader().stats().boots, boots);
      // Asked for again after the restart: both ends at the rate the application chose.
      EXPECT_EQ(c.converter().line_settings().bit_rate, k.rate);
      EXPECT_EQ(c.line().reader_end().settings().bit_rate, k.rate);
    }));
    ASSERT_FALSE(HasFailure());
  }
}

// The converter refuses the new rate after the reader has taken it: the application learns the
// failure (not 90 00 and success), and both ends are back at 9600 with a working session.
TEST(RateChange, AConverterThatRefusesTheRateFailsTheSwitchAndLeavesBothEndsAtTheDefault) {
  EXPECT_TRUE(test_support::RunMachine(1, [&](Machine& m) {
    Converter& c = m.Plug();
    ReaderHandle r(m);
    ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    r.GetState();  // waits at the link's gate for the bring-up that follows the start
    c.converter().AddControlFault(
        {sim::converter::kRequestLineSettings, sim::ControlFaultKind::kStall, 1});
    IoResult switched = r.RawReaderCommand(SetRate(5));
    EXPECT_FALSE(NT_SUCCESS(switched.status)) << std::hex << switched.status;
    EXPECT_EQ(switched.output, Bytes{});
    EXPECT_EQ(c.converter().line_settings().bit_rate, 9600u);
    EXPECT_EQ(c.line().reader_end().settings().bit_rate, 9600u);
    EXPECT_TRUE(SessionWorks(r));
  }));
}

// A raw command to a reader that has gone silent: one attempt with the link's own retries and
// resynchronisations, then STATUS_IO_TIMEOUT; no further attempts on a link given up.
TEST(RateChange, ARawCommandToASilentReaderTimesOutOnce) {
  EXPECT_TRUE(test_support::RunMachine(1, [&](Machine& m) {
    Converter& c = m.Plug();
    ReaderHandle r(m);
    ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    r.GetState();  // waits at the link's gate for the bring-up that follows the start
    c.line().reader_end().faults().Silence(m.Now(), m.Now() + host::kernel::Seconds(600));
    host::kernel::Ticks start = m.Now();
    IoResult status = r.RawReaderCommand(Bytes{0x20, 0x13, 0x00, 0x80, 0x00});
    EXPECT_EQ(status.status, STATUS_IO_TIMEOUT) << std::hex << status.status;
    // One attempt: the link's retries and resynchronisations, about 22 s.
    EXPECT_LT(m.Now() - start, host::kernel::Seconds(25)) << (m.Now() - start);
  }));
}

// The reader restarts by itself at a switched rate. The next command's resynchronisation finds
// the reader at the default rate before the link gives it up, the command is answered, and the
// rate is asked for again, without a card reset. (The link was given up at the old rate, and the
// card state stayed stale until a reset.)
TEST(RateChange, AReaderRestartedAtTheDefaultRateIsFoundWithoutAReset) {
  const Bytes kCardStatus = {0x20, 0x13, 0x00, 0x80, 0x00};
  EXPECT_TRUE(test_support::RunMachine(1, [&](Machine& m) {
    Converter& c = m.Plug();
    ReaderHandle r(m);
    ASSERT_EQ(r.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    ASSERT_EQ(r.RawReaderCommand(SetRate(4)).output, kSwOk);
    ASSERT_EQ(c.converter().line_settings().bit_rate, 57600u);
    c.reader().RestartAt(m.Now() + host::kernel::Milliseconds(10));
    m.Wait(host::kernel::Seconds(3));
    IoResult status = r.RawReaderCommand(kCardStatus);
    EXPECT_EQ(status.status, STATUS_SUCCESS) << std::hex << status.status;
    ASSERT_GE(status.output.size(), 2u);
    EXPECT_EQ(Bytes(status.output.end() - 2, status.output.end()), kSwOk);
    EXPECT_EQ(c.converter().line_settings().bit_rate, 57600u);
    EXPECT_EQ(c.line().reader_end().settings().bit_rate, 57600u);
    EXPECT_TRUE(SessionWorks(r));
  }));
}
