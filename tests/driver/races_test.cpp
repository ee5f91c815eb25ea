// Races on the whole stack, each over 200 seeds (the seed orders the machine's threads and draws
// the moments): an open against a close with card tracking, a removal while a request is in
// flight, a sleep while a request is in flight, a stop and start with a handle open. Every request
// ends, with success or an error; nothing hangs, and nothing is left at the end (the machine's
// run checks for threads, pool and handles). A failure names its seed. The seeds run in blocks,
// one test each, so that the blocks run side by side and each stays short.
#include <random>

#include "sim/cards/builtin_card.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

namespace {

constexpr uint64_t kSeedsPerBlock = 50;
constexpr uint64_t kBlocks = 4;  // 200 seeds in all

Ticks Draw(std::mt19937_64& rng, Ticks most) { return Ticks(rng() % uint64_t(most)); }
bool Failed(NTSTATUS status) { return ULONG(status) >> 30 == 3; }  // the error severity

// A SELECT the card takes up to a second for, sent while `interfere` runs in the test's thread at
// a moment drawn from the seed.
void TransmitAgainst(StackMachine& m, Plugged& c, Session& s, std::mt19937_64& rng,
                     const std::function<void()>& interfere, IoResult* transmitted) {
  c.rig.card()->SetProcessingTime(sim::kInsSelect, Draw(rng, Seconds(1)));
  PKTHREAD app = m.k.Spawn("application", [&] { *transmitted = s.Transmit(kSelectMf); });
  Sleep(Draw(rng, Milliseconds(1500)));
  interfere();
  KeWaitForSingleObject(app, Executive, KernelMode, FALSE, nullptr);
  c.rig.card()->SetProcessingTime(sim::kInsSelect, 0);
  bool answered = transmitted->status == STATUS_SUCCESS && transmitted->output == kSwOk;
  EXPECT_TRUE(answered || Failed(transmitted->status)) << std::hex << transmitted->status;
}

class StackRaces : public ::testing::TestWithParam<uint64_t> {
 protected:
  // The seeds of this block.
  uint64_t first() const { return GetParam() * kSeedsPerBlock + 1; }
  uint64_t last() const { return first() + kSeedsPerBlock - 1; }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Seeds, StackRaces, ::testing::Range<uint64_t>(0, kBlocks));

TEST_P(StackRaces, OpenAgainstCloseWithCardTracking) {
  int raced = 0;  // seeds where an open met the other application's handle
  for (uint64_t seed = first(); seed <= last(); ++seed) {
    OnMachine(seed, [seed, &raced](StackMachine& m) {
      std::mt19937_64 rng(seed);
      Plugged c(m);
      // Through the reader interface, as the resource manager opens it: every open reaches the
      // driver's create routine.
      std::u16string path = c.interface_path();
      int opened = 0, refused = 0;
      auto opener = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
          Session s(m, path);
          if (s.open_status == STATUS_SUCCESS) {
            ++opened;
            EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
          } else {
            EXPECT_EQ(s.open_status, STATUS_UNSUCCESSFUL);
            ++refused;
          }
          Sleep(Draw(rng, Milliseconds(50)));
        }
      };
      PKTHREAD other = m.k.Spawn("second application", [&] { opener(3); });
      opener(3);
      KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr);
      EXPECT_GT(opened, 0);
      EXPECT_EQ(opened + refused, 6);
      raced += refused > 0;
      // Whatever the order, the next handle has card tracking: an absence request pends and ends
      // when the card goes.
      Session s(m, path);
      ASSERT_EQ(s.open_status, STATUS_SUCCESS);
      AsyncIo absent = s.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
      Sleep(Seconds(2));
      EXPECT_FALSE(absent.done());
      c.rig.reader().RemoveCard();
      Sleep(Seconds(2));
      EXPECT_TRUE(absent.done());
      EXPECT_EQ(absent.Wait().status, STATUS_SUCCESS);
    });
    if (::testing::Test::HasFailure()) FAIL() << "seed " << seed;
  }
  EXPECT_GT(raced, int(kSeedsPerBlock) / 4);
}

TEST_P(StackRaces, RemovalWhileARequestIsInFlight) {
  for (uint64_t seed = first(); seed <= last(); ++seed) {
    OnMachine(seed, [seed](StackMachine& m) {
      std::mt19937_64 rng(seed);
      Plugged c(m);
      Session s(m);
      ASSERT_TRUE(s.StartSession());
      IoResult transmitted;
      // The removal waits for the last handle, which the application closes after the failure.
      PKTHREAD pnp = nullptr;
      TransmitAgainst(
          m, c, s, rng, [&] { pnp = m.k.Spawn("unplug", [&] { c.Unplug(); }); }, &transmitted);
      s.Close();
      KeWaitForSingleObject(pnp, Executive, KernelMode, FALSE, nullptr);
      EXPECT_TRUE(m.io.IsDeleted(c.fdo));
    });
    if (::testing::Test::HasFailure()) FAIL() << "seed " << seed;
  }
}

TEST_P(StackRaces, SleepWhileARequestIsInFlight) {
  for (uint64_t seed = first(); seed <= last(); ++seed) {
    OnMachine(seed, [seed](StackMachine& m) {
      std::mt19937_64 rng(seed);
      Plugged c(m);
      Session s(m);
      ASSERT_TRUE(s.StartSession());
      IoResult transmitted;
      TransmitAgainst(
          m, c, s, rng,
          [&] { EXPECT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS); },
          &transmitted);
      Sleep(Draw(rng, Seconds(5)));
      EXPECT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
      EXPECT_TRUE(s.StartSession());
    });
    if (::testing::Test::HasFailure()) FAIL() << "seed " << seed;
  }
}

TEST_P(StackRaces, StopAndStartWithAHandleOpen) {
  for (uint64_t seed = first(); seed <= last(); ++seed) {
    OnMachine(seed, [seed](StackMachine& m) {
      std::mt19937_64 rng(seed);
      Plugged c(m);
      Session s(m);
      ASSERT_TRUE(s.StartSession());
      IoResult transmitted;
      TransmitAgainst(
          m, c, s, rng, [&] { EXPECT_EQ(m.pnp.StopDevice(c.node()), STATUS_SUCCESS); },
          &transmitted);
      // Stopped: requests still come in, and fail on the unconfigured converter.
      EXPECT_TRUE(Failed(s.Transmit(kSelectMf).status));
      Sleep(Draw(rng, Seconds(3)));
      ASSERT_EQ(m.pnp.StartDevice(c.node()), STATUS_SUCCESS);
      // The handle goes on: the reader came up again with the card unpowered.
      EXPECT_TRUE(s.StartSession());
    });
    if (::testing::Test::HasFailure()) FAIL() << "seed " << seed;
  }
}
