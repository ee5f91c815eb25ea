// Races on the whole stack over 200 seeds, in blocks of 50 (the seed orders the threads and draws
// the moments): an open against a close with card tracking; a removal, a sleep, a stop and start,
// each while a request is in flight. Every request ends; nothing hangs and nothing is left (the
// machine's run checks threads, pool and handles). A failure names its seed.
#include <random>

#include "sim/cards/builtin_card.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

namespace {

constexpr uint64_t kSeedsPerBlock = 50;

Ticks Draw(std::mt19937_64& rng, Ticks most) { return Ticks(rng() % uint64_t(most)); }

class StackRaces : public ::testing::TestWithParam<uint64_t> {
 protected:
  void EachSeed(const std::function<void(StackMachine&, std::mt19937_64&)>& body) {
    for (uint64_t seed = GetParam() * kSeedsPerBlock + 1;
         seed <= (GetParam() + 1) * kSeedsPerBlock && !HasFailure(); ++seed) {
      OnMachine(seed, [&](StackMachine& m) {
        std::mt19937_64 rng(seed);
        body(m, rng);
      });
      if (HasFailure()) ADD_FAILURE() << "seed " << seed;
    }
  }
  // A SELECT the card takes up to 1 s for, `interfere` at a moment drawn from the seed, `after`.
  void TransmitAgainst(const std::function<void(StackMachine&, Plugged&)>& interfere,
                       const std::function<void(StackMachine&, Plugged&, Session&)>& after) {
    EachSeed([&](StackMachine& m, std::mt19937_64& rng) {
      Plugged c(m);
      Session s(m);
      ASSERT_TRUE(s.StartSession());
      c.rig.card()->SetProcessingTime(sim::kInsSelect, Draw(rng, Seconds(1)));
      IoResult sent;
      PKTHREAD app = m.k.Spawn("application", [&] { sent = s.Transmit(kSelectMf); });
      Sleep(Draw(rng, Milliseconds(1500)));
      interfere(m, c);
      KeWaitForSingleObject(app, Executive, KernelMode, FALSE, nullptr);
      c.rig.card()->SetProcessingTime(sim::kInsSelect, 0);
      bool failed = ULONG(sent.status) >> 30 == 3;  // error severity
      EXPECT_TRUE(failed || (sent.status == STATUS_SUCCESS && sent.output == kSwOk)) << sent.status;
      Sleep(Draw(rng, Seconds(3)));
      after(m, c, s);
    });
  }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Seeds, StackRaces, ::testing::Range<uint64_t>(0, 4));

TEST_P(StackRaces, OpenAgainstCloseWithCardTracking) {
  int raced = 0;  // seeds where an open met the other application's handle
  EachSeed([&](StackMachine& m, std::mt19937_64& rng) {
    Plugged c(m);
    // Through the reader interface, as the resource manager opens: each open reaches the driver.
    std::u16string path = c.interface_path();
    int opened = 0, refused = 0;
    auto opener = [&] {
      for (int i = 0; i < 3; ++i) {
        Session s(m, path);
        opened += s.open_status == STATUS_SUCCESS;
        refused += s.open_status == STATUS_UNSUCCESSFUL;
        if (s.open_status == STATUS_SUCCESS) {
          EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
        }
        Sleep(Draw(rng, Milliseconds(50)));
      }
    };
    PKTHREAD other = m.k.Spawn("second application", opener);
    opener();
    KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(opened > 0 && opened + refused == 6) << opened << " " << refused;
    raced += refused > 0;
    // Whatever the order, the next handle has card tracking: an absence request pends and ends
    // when the card goes.
    Session s(m, path);
    AsyncIo absent = s.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    Sleep(Seconds(2));
    EXPECT_FALSE(absent.done());
    c.rig.reader().RemoveCard();
    Sleep(Seconds(2));
    EXPECT_EQ(absent.done() ? absent.Wait().status : STATUS_PENDING, STATUS_SUCCESS);
  });
  EXPECT_GT(raced, int(kSeedsPerBlock) / 4);
}

TEST_P(StackRaces, RemovalWhileARequestIsInFlight) {
  PKTHREAD pnp = nullptr;
  TransmitAgainst(
      [&](StackMachine& m, Plugged& c) { pnp = m.k.Spawn("unplug", [&] { c.Unplug(); }); },
      [&](StackMachine& m, Plugged& c, Session& s) {
        // The removal waits for the last handle.
        s.Close();
        KeWaitForSingleObject(pnp, Executive, KernelMode, FALSE, nullptr);
        EXPECT_TRUE(m.io.IsDeleted(c.fdo));
      });
}

TEST_P(StackRaces, SleepWhileARequestIsInFlight) {
  TransmitAgainst(
      [](StackMachine& m, Plugged&) {
        EXPECT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
      },
      [](StackMachine& m, Plugged&, Session& s) {
        EXPECT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_TRUE(s.StartSession());
      });
}

TEST_P(StackRaces, StopAndStartWithAHandleOpen) {
  TransmitAgainst(
      [](StackMachine& m, Plugged& c) { EXPECT_EQ(m.pnp.StopDevice(c.node()), STATUS_SUCCESS); },
      [](StackMachine& m, Plugged& c, Session& s) {
        // Stopped, requests still come in and fail on the unconfigured converter; once started
        // again the handle goes on, the reader up again with the card unpowered.
        EXPECT_NE(s.Transmit(kSelectMf).status, STATUS_SUCCESS);
        ASSERT_EQ(m.pnp.StartDevice(c.node()), STATUS_SUCCESS);
        EXPECT_TRUE(s.StartSession());
      });
}
