#include "sim/serial_line.h"

#include <gtest/gtest.h>

#include "host/kernel/kernel.h"
#include "platform/wdm.h"
#include "sim/blocking_port.h"
#include "sim/line_trace.h"

namespace sim {
namespace {

using host::kernel::Kernel;
using host::kernel::KernelOptions;
using host::kernel::Milliseconds;
using host::kernel::Ticks;

void Sleep(Ticks t) {
  LARGE_INTEGER d;
  d.QuadPart = -t;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

TEST(UartSettings, CharacterTimeAndParity) {
  EXPECT_EQ(kLinkSettings.BitsPerCharacter(), 11);
  EXPECT_EQ(CharacterTime(kLinkSettings), 11459);  // 1.1458 ms, rounded up
  EXPECT_EQ(ParityBit(kLinkSettings, 0x03), 0);
  EXPECT_EQ(ParityBit(kLinkSettings, 0x01), 1);
  UartSettings odd{9600, 7, Parity::kOdd, 2};
  EXPECT_EQ(odd.BitsPerCharacter(), 11);
  EXPECT_EQ(ParityBit(odd, 0x80), 1);  // bit 7 is not a data bit at 7 data bits
  EXPECT_EQ(odd.ToString(), "9600 7O2");
  EXPECT_FALSE((UartSettings{600, 8, Parity::kNone, 1}.Valid()));
  EXPECT_FALSE((UartSettings{9600, 8, Parity::kNone, 3}.Valid()));
}

TEST(SerialLine, NineByteBlockTakesNinetyNineBitTimes) {
  Kernel k;
  Ticks first = -1, last = -1;
  std::vector<uint8_t> got;
  auto r = k.Run([&] {
    SerialLine line(k);
    BlockingPort reader(line.reader_end());
    Sleep(Milliseconds(3));  // not at time 0, to see the arithmetic is relative
    Ticks start = k.Now();
    const uint8_t block[] = {0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4};
    line.converter_end().Transmit(block);
    EXPECT_EQ(line.converter_end().TransmitQueued(), 9u);
    EXPECT_TRUE(line.converter_end().TransmitterBusy());
    got = reader.Receive(1, Milliseconds(100));
    first = k.Now() - start;
    auto rest = reader.Receive(8, Milliseconds(100));
    got.insert(got.end(), rest.begin(), rest.end());
    last = k.Now() - start;
    EXPECT_FALSE(line.converter_end().TransmitterBusy());
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(got, (std::vector<uint8_t>{0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4}));
  EXPECT_EQ(first, 11459);                      // one character: 11/9600 s
  EXPECT_EQ(last, 9 * 11 * 10'000'000 / 9600);  // 103125 ticks, exactly 9 x 11 / 9600 s
}

TEST(SerialLine, EachEndHasItsOwnPace) {
  Kernel k;
  Ticks at_115200 = 0, at_1200 = 0;
  auto r = k.Run([&] {
    SerialLine line(k);
    UartSettings fast{115200, 8, Parity::kNone, 1};
    UartSettings slow{1200, 8, Parity::kNone, 1};
    line.converter_end().Configure(fast);
    line.reader_end().Configure(fast);
    BlockingPort reader(line.reader_end());
    Ticks t0 = k.Now();
    line.converter_end().Transmit({1, 2, 3, 4});
    EXPECT_EQ(reader.Receive(4, Milliseconds(10)).size(), 4u);
    at_115200 = k.Now() - t0;
    line.converter_end().Configure(slow);
    line.reader_end().Configure(slow);
    t0 = k.Now();
    line.converter_end().Transmit({1, 2, 3, 4});
    EXPECT_EQ(reader.Receive(4, Milliseconds(100)).size(), 4u);
    at_1200 = k.Now() - t0;
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(at_115200, 3473);  // 40 bits / 115200 s, rounded up to a tick
  EXPECT_EQ(at_1200, 333334);  // 40 bits / 1200 s
}

// A rate or framing mismatch garbles what crosses, and does so the same way every run.
std::vector<uint8_t> SendAcrossMismatch(UartSettings sender, UartSettings receiver,
                                        uint64_t* errors) {
  Kernel k;
  std::vector<uint8_t> got;
  auto r = k.Run([&] {
    SerialLine line(k);
    line.converter_end().Configure(sender);
    line.reader_end().Configure(receiver);
    BlockingPort reader(line.reader_end());
    line.converter_end().Transmit({0x00, 0xC0, 0x00, 0xC0, 0x12, 0x55, 0xA4});
    Sleep(Milliseconds(100));
    got = reader.TakeAll();
    *errors = reader.error_count();
  });
  EXPECT_TRUE(r.ok()) << r.report;
  return got;
}

TEST(SerialLine, MismatchedEndsGarbleDeterministically) {
  const std::vector<uint8_t> sent{0x00, 0xC0, 0x00, 0xC0, 0x12, 0x55, 0xA4};
  uint64_t errors = 0;
  auto same = SendAcrossMismatch(kLinkSettings, kLinkSettings, &errors);
  EXPECT_EQ(same, sent);
  EXPECT_EQ(errors, 0u);

  UartSettings fast = kLinkSettings;
  fast.bit_rate = 38400;
  uint64_t errors1 = 0, errors2 = 0;
  auto garbled1 = SendAcrossMismatch(fast, kLinkSettings, &errors1);
  auto garbled2 = SendAcrossMismatch(fast, kLinkSettings, &errors2);
  EXPECT_NE(garbled1, sent);
  EXPECT_EQ(garbled1, garbled2);
  EXPECT_EQ(errors1, errors2);

  auto slow_receiver = SendAcrossMismatch(kLinkSettings, fast, &errors1);
  EXPECT_NE(slow_receiver, sent);
  EXPECT_GT(errors1, 0u);

  UartSettings no_parity{9600, 8, Parity::kNone, 1};
  auto framing = SendAcrossMismatch(no_parity, kLinkSettings, &errors1);
  EXPECT_GT(errors1, 0u);  // the receiver takes the stop bit for parity and the idle for stop
}

TEST(SerialLine, FaultsFlipDropInsertAndSilence) {
  Kernel k;
  std::vector<uint8_t> got;
  uint64_t errors = 0;
  std::string trace_text;
  auto r = k.Run([&] {
    SerialLine line(k);
    LineTrace trace(line);
    BlockingPort reader(line.reader_end());
    auto& faults = line.converter_end().faults();
    faults.FlipBits(1, 0x01);       // 0x11 -> 0x10 with the old parity: parity error
    faults.Drop(2);                 // 0x22 never arrives
    faults.InsertAfter(3, {0xEE});  // 0xEE after 0x33
    line.converter_end().Transmit({0x00, 0x11, 0x22, 0x33, 0x44});
    Sleep(Milliseconds(20));
    got = reader.TakeAll();
    errors = reader.error_count();
    // Silence: nothing sent during the window arrives.
    Ticks now = k.Now();
    faults.Silence(now, now + Milliseconds(5));
    line.converter_end().Transmit({0x55, 0x66, 0x77, 0x88, 0x99, 0xAA});
    Sleep(Milliseconds(20));
    auto after = reader.TakeAll();
    got.insert(got.end(), after.begin(), after.end());
    trace_text = trace.CharacterText();
  });
  ASSERT_TRUE(r.ok()) << r.report;
  // 0x55..0x88 start within the first 5 ms (4 x 1.146 ms); 0x99 starts at 4.58 ms too.
  EXPECT_EQ(got, (std::vector<uint8_t>{0x00, 0x10, 0x33, 0xEE, 0x44, 0xAA}));
  EXPECT_EQ(errors, 1u);
  EXPECT_NE(trace_text.find("host->reader sent 22 lost"), std::string::npos) << trace_text;
  EXPECT_NE(trace_text.find("host->reader sent EE inserted"), std::string::npos);
  EXPECT_NE(trace_text.find("host->reader received 10 parity error"), std::string::npos);
}

TEST(SerialLine, BitErrorRateIsSeeded) {
  auto run = [](uint64_t seed) {
    Kernel k;
    std::vector<uint8_t> got;
    auto r = k.Run([&] {
      SerialLine line(k, seed);
      BlockingPort reader(line.reader_end());
      line.converter_end().faults().SetBitErrorRate(0.02);
      std::vector<uint8_t> data(200);
      for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
      line.converter_end().Transmit(data);
      Sleep(Milliseconds(400));
      got = reader.TakeAll();
    });
    EXPECT_TRUE(r.ok()) << r.report;
    return got;
  };
  auto a = run(7), b = run(7), c = run(8);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  size_t intact = 0;
  for (size_t i = 0; i < std::min<size_t>(a.size(), 200); ++i) intact += a[i] == uint8_t(i);
  EXPECT_LT(intact, 200u);
}

TEST(SerialLine, ModemLinesReachTheReaderSideAndAreCounted) {
  Kernel k;
  std::vector<std::pair<bool, bool>> seen;
  ModemCounters counters;
  auto r = k.Run([&] {
    SerialLine line(k);
    line.SetModemCallback([&](bool dtr, bool rts) {
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      seen.emplace_back(dtr, rts);
    });
    line.SetDtr(false);
    line.SetDtr(true);
    line.SetDtr(true);
    line.SetRts(true);
    Sleep(Milliseconds(1));
    line.SetDtr(false);
    Sleep(Milliseconds(1));
    counters = line.modem_counters();
    EXPECT_FALSE(line.dtr());
    EXPECT_TRUE(line.rts());
    line.SetModemCallback(nullptr);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(counters.dtr_on_requests, 2u);
  EXPECT_EQ(counters.dtr_off_requests, 2u);
  EXPECT_EQ(counters.dtr_rises, 1u);
  EXPECT_EQ(counters.dtr_falls, 1u);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(true, false));
  EXPECT_EQ(seen[1], std::make_pair(true, true));
  EXPECT_EQ(seen[2], std::make_pair(false, true));
}

TEST(SerialLine, PurgeDropsQueuedCharactersAndIdleIsNotified) {
  Kernel k;
  std::vector<uint8_t> got;
  Ticks idle_at = 0;
  auto r = k.Run([&] {
    SerialLine line(k);
    BlockingPort reader(line.reader_end());
    line.converter_end().Transmit({1, 2, 3, 4, 5});
    line.converter_end().PurgeTransmit();  // the first one is already on the wire
    EXPECT_EQ(line.converter_end().TransmitQueued(), 1u);
    KEVENT idle;
    KeInitializeEvent(&idle, NotificationEvent, FALSE);
    line.converter_end().WhenTransmitterIdle([&] {
      idle_at = k.Now();
      KeSetEvent(&idle, 0, FALSE);
    });
    KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
    Sleep(Milliseconds(10));
    got = reader.TakeAll();
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(got, (std::vector<uint8_t>{1}));
  EXPECT_EQ(idle_at, 11459);
}

}  // namespace
}  // namespace sim
