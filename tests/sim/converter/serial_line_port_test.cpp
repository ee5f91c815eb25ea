// The converter on the simulated serial line: its settings and modem lines reach the line and
// the reader, its characters leave back to back at the line's exact rate, and what the far end
// sends arrives in its receive FIFO.
#include <gtest/gtest.h>

#include "converter_bench.h"
#include "sim/converter_rig.h"

using namespace converter_test;

namespace {

const std::vector<uint8_t> kBlock = {0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4};

// The converter driven as the bus drives it, on the real line with the reader behind it.
struct LineBench {
  Kernel& k;
  sim::ConverterRig rig;
  std::unique_ptr<FakeBusPort> bus;

  explicit LineBench(Kernel& kernel)
      : k(kernel), rig(kernel), bus(std::make_unique<FakeBusPort>(kernel, rig.converter())) {
    InInterrupt([&] {
      rig.converter().Attached(bus.get());
      rig.converter().SetConfiguration(kConfigurationValue);
    });
  }
  template <class F>
  void InInterrupt(F fn) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    k.ScheduleAfter(0, [&] {
      fn();
      KeSetEvent(&done, 0, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  Handshake Vendor(uint8_t request, uint16_t value) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Handshake h = Handshake::kNak;
    InInterrupt([&] {
      rig.converter().ControlTransfer({0x42, request, value, 0, 0}, {}, [&](ControlResult r) {
        h = r.handshake;
        KeSetEvent(&done, 0, FALSE);
      });
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return h;
  }
  Handshake Out(std::vector<uint8_t> packet) {
    Handshake h;
    InInterrupt([&] { h = rig.converter().Out(kDataOutEndpoint, packet); });
    return h;
  }
  // The bench plays the bus: its waits are the bus's schedule, exact, not the clock tick.
  void Sleep(Ticks t) { k.SleepFor(t); }
  std::vector<sim::LineEvent> Events(sim::LineEvent::Kind kind, sim::Direction direction) {
    std::vector<sim::LineEvent> out;
    for (const auto& e : rig.trace().events()) {
      if (e.kind == kind && e.direction == direction) out.push_back(e);
    }
    return out;
  }
};

}  // namespace

TEST(SerialLinePort, SettingsAndModemLinesReachTheLineAndTheReader) {
  Kernel k;
  auto r = k.Run([&] {
    LineBench b(k);
    // The converter starts at 9600 8N1.
    EXPECT_EQ(b.rig.line().converter_end().settings(),
              (sim::UartSettings{9600, 8, sim::Parity::kNone, 1}));
    EXPECT_EQ(b.Vendor(kRequestLineSettings, kRate115200 | kParityOdd | kStopBitsTwo),
              Handshake::kAck);
    EXPECT_EQ(b.rig.line().converter_end().settings(),
              (sim::UartSettings{115200, 8, sim::Parity::kOdd, 2}));
    EXPECT_EQ(b.Vendor(kRequestModemLines, kDtrOn), Handshake::kAck);
    EXPECT_EQ(b.Vendor(kRequestModemLines, kDtrOn | kRtsOn), Handshake::kAck);
    EXPECT_TRUE(b.rig.line().dtr());
    EXPECT_TRUE(b.rig.line().rts());
    // Only changes reach the line.
    EXPECT_EQ(b.rig.line().modem_counters().dtr_on_requests, 1u);
    b.Sleep(Milliseconds(120));
    EXPECT_TRUE(b.rig.reader().booted());
    // Leaving the bus drops the modem lines: the reader loses power.
    b.InInterrupt([&] { b.rig.converter().Detached(); });
    b.Sleep(Milliseconds(1));
    EXPECT_FALSE(b.rig.line().dtr());
    EXPECT_FALSE(b.rig.reader().booted());
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(SerialLinePort, CharactersLeaveBackToBackAtTheExactLineRate) {
  Kernel k;
  auto r = k.Run([&] {
    LineBench b(k);
    ASSERT_EQ(b.Vendor(kRequestLineSettings, kParityEven | kStopBitsOne), Handshake::kAck);
    Ticks start = k.Now();
    ASSERT_EQ(b.Out({kBlock.begin(), kBlock.begin() + 8}), Handshake::kAck);
    b.Sleep(Milliseconds(2));  // the ninth byte comes while the burst is on the wire
    ASSERT_EQ(b.Out({kBlock.begin() + 8, kBlock.end()}), Handshake::kAck);
    b.Sleep(Milliseconds(20));
    auto sent = b.Events(sim::LineEvent::Kind::kSent, sim::Direction::kHostToReader);
    auto received = b.Events(sim::LineEvent::Kind::kReceived, sim::Direction::kHostToReader);
    ASSERT_EQ(sent.size(), kBlock.size());
    ASSERT_EQ(received.size(), kBlock.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].value, kBlock[i]);
      EXPECT_EQ(sent[i].time, start + Ticks(i) * 11 * kTicksPerSecond / 9600) << i;
      EXPECT_FALSE(received[i].parity_error) << i;
    }
    // 99 bits at 9600 bit/s, to the tick: no rounding piles up over the burst.
    EXPECT_EQ(received.back().time, start + 103125);
    EXPECT_EQ(b.rig.converter().counters().bytes_transmitted, kBlock.size());
    EXPECT_EQ(b.rig.converter().transmit_level(), 0u);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(SerialLinePort, ReceivedCharactersReachTheFifoAndPurgeStopsTheTransmitter) {
  Kernel k;
  auto r = k.Run([&] {
    LineBench b(k);
    b.rig.line().reader_end().Transmit({0x21, 0x00});
    b.Sleep(Milliseconds(5));
    // 8N1 against the reader's 8E1: the parity bit lands in the stop bit's place.
    EXPECT_EQ(b.rig.converter().receive_level(), 2u);
    EXPECT_GE(b.rig.converter().counters().receive_errors, 1u);

    ASSERT_EQ(b.Vendor(kRequestLineSettings, kParityEven | kStopBitsOne), Handshake::kAck);
    ASSERT_EQ(b.Out(std::vector<uint8_t>(8, 0x55)), Handshake::kAck);
    ASSERT_EQ(b.Vendor(kRequestPurge, kPurgeTransmit), Handshake::kAck);
    b.Sleep(Milliseconds(20));
    auto sent = b.Events(sim::LineEvent::Kind::kSent, sim::Direction::kHostToReader);
    // The characters on the wire and in the line end's holding register when the purge came.
    size_t after_purge = sent.size();
    EXPECT_LE(after_purge, 2u);
    // The transmitter is free again: the next packet goes out.
    ASSERT_EQ(b.Out({0x12, 0x34}), Handshake::kAck);
    b.Sleep(Milliseconds(5));
    sent = b.Events(sim::LineEvent::Kind::kSent, sim::Direction::kHostToReader);
    ASSERT_EQ(sent.size(), after_purge + 2);
    EXPECT_EQ(sent.back().value, 0x34);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
