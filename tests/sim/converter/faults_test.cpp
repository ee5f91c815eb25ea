// The converter's configurable faults: requests that never complete or stall, IN endpoints that
// never deliver, stalled endpoints, and unplugging.
#include <gtest/gtest.h>

#include "converter_bench.h"

using namespace converter_test;

TEST(ConverterFaults, ControlRequestThatNeverCompletesUntilCancelled) {
  Kernel k;
  Bench b(k);
  b.converter->AddControlFault(
      {.request = kRequestPort, .kind = sim::ControlFaultKind::kNeverComplete, .count = 1});
  auto r = k.Run([&] {
    EXPECT_FALSE(b.Control({0xC2, kRequestPort, kPortFlow, 0, 8}, {}, Seconds(10)));
    EXPECT_TRUE(b.converter->control_pending());
    b.InInterrupt([&] { b.converter->CancelControl(); });
    EXPECT_FALSE(b.converter->control_pending());
    // The fault was for one request: the next one is answered.
    EXPECT_TRUE(b.Acked(b.VendorIn(kRequestPort, kPortFlow)));
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterFaults, StalledRequestHasNoEffect) {
  Kernel k;
  Bench b(k);
  b.converter->AddControlFault(
      {.request = kRequestModemLines, .kind = sim::ControlFaultKind::kStall, .count = 1});
  auto r = k.Run([&] {
    EXPECT_TRUE(b.Stalled(b.VendorOut(kRequestModemLines, kDtrOn)));
    EXPECT_FALSE(b.converter->dtr());
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestModemLines, kDtrOn)));
    EXPECT_TRUE(b.converter->dtr());
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterFaults, HangingAndStalledInEndpoints) {
  Kernel k;
  Bench b(k);
  auto r = k.Run([&] {
    ASSERT_EQ(b.Configure(), Handshake::kAck);
    b.line.Deliver({0x42}, k.Now());
    b.Sleep(Milliseconds(5));
    b.converter->SetInHang(kDataInEndpoint, true);
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);
    b.converter->SetInHang(kDataInEndpoint, false);
    b.converter->StallEndpoint(kDataInEndpoint);
    EXPECT_EQ(b.Poll().handshake, Handshake::kStall);
    EXPECT_EQ(b.Out({1}), Handshake::kAck);  // the other endpoint is not halted
    b.InInterrupt([&] { b.converter->ClearHalt(kDataInEndpoint); });
    InPacket p = b.Poll();
    EXPECT_EQ(p.handshake, Handshake::kAck);
    EXPECT_EQ(p.data, std::vector<uint8_t>{0x42});  // nothing was lost while it hung
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterFaults, UnplugAtAVirtualTimeDropsTheModemLines) {
  Kernel k;
  Bench b(k);
  b.converter->UnplugAt(Milliseconds(50));
  auto r = k.Run([&] {
    ASSERT_EQ(b.Configure(), Handshake::kAck);
    ASSERT_TRUE(b.Acked(b.VendorOut(kRequestModemLines, kDtrOn | kRtsOn)));
    b.Sleep(Milliseconds(100));
    ASSERT_TRUE(b.bus->unplugged_at);
    EXPECT_EQ(*b.bus->unplugged_at, Milliseconds(50));
    EXPECT_FALSE(b.converter->attached());
    EXPECT_TRUE(b.converter->gone());
    EXPECT_FALSE(b.line.modem.back().dtr);
    EXPECT_EQ(b.line.modem.back().at, Milliseconds(50));
    // Bytes from the line find nobody.
    b.line.Deliver({1, 2, 3}, k.Now());
    b.Sleep(Milliseconds(10));
    EXPECT_EQ(b.converter->receive_level(), 0u);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterFaults, UnplugInTheMiddleOfAControlRequest) {
  Kernel k;
  Bench b(k);
  b.converter->AddControlFault(
      {.request = std::nullopt, .kind = sim::ControlFaultKind::kUnplug, .count = 1});
  auto r = k.Run([&] {
    Ticks start = k.Now();
    EXPECT_FALSE(b.Control({0x42, kRequestModemLines, kDtrOn, 0, 0}, {}, Seconds(1)));
    ASSERT_TRUE(b.bus->unplugged_at);
    EXPECT_EQ(*b.bus->unplugged_at, start);
    EXPECT_FALSE(b.converter->control_pending());  // Detached dropped it
    EXPECT_FALSE(b.converter->dtr());
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterFaults, UnplugDuringAPendingInTransfer) {
  Kernel k;
  Bench b(k);
  auto r = k.Run([&] {
    ASSERT_EQ(b.Configure(), Handshake::kAck);
    b.converter->UnplugOnInPoll(3);
    Ticks start = k.Now();
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);
    b.Sleep(Milliseconds(10));
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);
    EXPECT_FALSE(b.bus->unplugged_at);
    b.Sleep(Milliseconds(10));
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);
    ASSERT_TRUE(b.bus->unplugged_at);
    EXPECT_EQ(*b.bus->unplugged_at, start + Milliseconds(20));  // at the third poll
    EXPECT_TRUE(b.converter->gone());
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
