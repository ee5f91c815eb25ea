#include <chrono>
#include <set>

#include "tests/host/kernel/kernel_test_support.h"

using namespace host::kernel;
using namespace host::kernel::testing;

TEST(VirtualTime, TimedWaitsEndAtTheirDeadline) {
  Kernel k;
  auto r = k.Run([&] {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(Wait(&never, Milliseconds(2500)), STATUS_TIMEOUT);
    EXPECT_EQ(k.Now(), Milliseconds(2500));

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER absolute;
    absolute.QuadPart = now.QuadPart + Seconds(3);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_EQ(k.Now(), Milliseconds(5500));

    Sleep(Milliseconds(500));
    EXPECT_EQ(k.Now(), Seconds(6));
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(Seconds(6)));
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(VirtualTime, TenVirtualMinutesCostNoWallTime) {
  Kernel k;
  auto wall = std::chrono::steady_clock::now();
  auto r = k.Run([&] {
    for (int i = 0; i < 600; ++i) Sleep(Seconds(1));
  });
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(k.Now(), Seconds(600));
  // Generous: the point is that no real waiting happens (it takes milliseconds).
  EXPECT_LT(seconds, 5.0);
}

namespace {
struct TimerProbe {
  KTIMER timer;
  KDPC dpc;
  int runs = 0;
  KIRQL irql = 0xFF;
  Ticks when = -1;
  Kernel* kernel = nullptr;
};

void ProbeDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto probe = static_cast<TimerProbe*>(context);
  ++probe->runs;
  probe->irql = KeGetCurrentIrql();
  probe->when = probe->kernel->Now();
}
}  // namespace

TEST(Timers, ExpiryRunsTheDpcOnceAtDispatchLevelAndSignalsTheTimer) {
  Kernel k;
  TimerProbe probe;
  probe.kernel = &k;
  auto r = k.Run([&] {
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(Milliseconds(2500)), &probe.dpc));
    EXPECT_EQ(WaitForever(&probe.timer), STATUS_SUCCESS);
    EXPECT_EQ(k.Now(), Milliseconds(2500));
    Sleep(Seconds(10));
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(probe.runs, 1);
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
  EXPECT_EQ(probe.when, Milliseconds(2500));
}

TEST(Timers, CancelBeforeExpiryReturnsTrueAndNoDpcRuns) {
  Kernel k;
  TimerProbe probe;
  probe.kernel = &k;
  auto r = k.Run([&] {
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
    KeSetTimer(&probe.timer, Relative(Milliseconds(100)), &probe.dpc);
    EXPECT_TRUE(KeSetTimer(&probe.timer, Relative(Milliseconds(200)), &probe.dpc))
        << "re-arming reports that the timer was set";
    Sleep(Milliseconds(150));
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    Sleep(Seconds(1));
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(probe.runs, 0);
}

TEST(Timers, CancelRacingExpiryEitherStopsTheDpcOrReportsItFired) {
  // The thread wakes at the very tick the timer is due; whatever the interleaving, the cancel's
  // answer must agree with whether the DPC ran.
  auto results = RunSeeds(20, [](uint64_t seed) {
    Kernel k(KernelOptions{.seed = seed});
    TimerProbe probe;
    probe.kernel = &k;
    BOOLEAN cancelled = FALSE;
    auto r = k.Run([&] {
      KeInitializeTimer(&probe.timer);
      KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
      KeSetTimer(&probe.timer, Relative(Milliseconds(100)), &probe.dpc);
      Sleep(Milliseconds(100));
      cancelled = KeCancelTimer(&probe.timer);
      Sleep(Seconds(1));
    });
    if (r.ok() && (cancelled ? probe.runs != 0 : probe.runs != 1)) {
      r = RunResult{Outcome::kBugCheck, "cancel said " + std::to_string(cancelled) +
                                            " but the DPC ran " + std::to_string(probe.runs)};
    }
    return r;
  });
  for (auto& r : results) EXPECT_TRUE(r.ok()) << r.report;
}

TEST(Dpcs, QueuedUnderASpinLockRunsWhenTheLockIsReleased) {
  Kernel k;
  TimerProbe probe;
  probe.kernel = &k;
  int runs_while_locked = -1;
  auto r = k.Run([&] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&probe.dpc, nullptr, nullptr)) << "already queued";
    runs_while_locked = probe.runs;
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(probe.runs, 1) << "the DPC pre-empts the thread as soon as the IRQL drops";
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(runs_while_locked, 0);
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
}

TEST(DeviceEvents, RunAtTheirVirtualTimeAtDispatchLevel) {
  Kernel k;
  std::vector<Ticks> at;
  auto r = k.Run([&] {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    k.ScheduleAt(Milliseconds(30), [&] {
      at.push_back(k.Now());
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      KeSetEvent(&e, 0, FALSE);
    });
    EventId cancelled = k.ScheduleAt(Milliseconds(10), [&] { at.push_back(-1); });
    EXPECT_TRUE(k.CancelScheduled(cancelled));
    WaitForever(&e);
    EXPECT_EQ(k.Now(), Milliseconds(30));
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(at, std::vector<Ticks>{Milliseconds(30)});
}

// Two events due at the same moment: the first cancels the second, which has come due but not
// run yet, as a device torn down by one event cancels what it had scheduled. It must not run (the
// real-time machine ran it into a freed serial line port).
TEST(DeviceEvents, AnEventDueButNotYetRunCanStillBeCancelled) {
  Kernel k;
  std::vector<int> ran;
  auto r = k.Run([&] {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    EventId second = 0;
    bool cancelled = false;
    k.ScheduleAt(Milliseconds(10), [&] {
      ran.push_back(1);
      cancelled = k.CancelScheduled(second);
    });
    second = k.ScheduleAt(Milliseconds(10), [&] { ran.push_back(2); });
    k.ScheduleAt(Milliseconds(20), [&] { KeSetEvent(&e, 0, FALSE); });
    WaitForever(&e);
    EXPECT_TRUE(cancelled);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(ran, std::vector<int>{1});
}

TEST(ClockTick, TimersDelaysAndTimeOutsExpireOnTheTickUnlessTimingIsExact) {
  for (Timing timing : {Timing::kClockTick, Timing::kExact}) {
    Kernel k(KernelOptions{.timing = timing});
    std::vector<Ticks> at;
    auto r = k.Run([&] {
      KTIMER timer;
      KeInitializeTimer(&timer);
      Sleep(Milliseconds(10));
      at.push_back(k.Now());
      Wait(&timer, Milliseconds(10));  // not set: a time-out
      at.push_back(k.Now());
      KeSetTimer(&timer, Relative(Milliseconds(10)), nullptr);
      WaitForever(&timer);
      at.push_back(k.Now());
      k.SleepFor(Milliseconds(3));  // hardware time: exact
      at.push_back(Ticks(KeQueryInterruptTime()));
      // Simulated hardware (a daemon thread) keeps exact time too.
      k.Spawn("device", [&] { Sleep(Milliseconds(10)), at.push_back(k.Now()); }, {.daemon = true});
      Sleep(Milliseconds(20));
    });
    ASSERT_TRUE(r.ok()) << r.report;
    bool exact = timing == Timing::kExact;
    Ticks tick = exact ? Milliseconds(10) : kClockTick;
    EXPECT_EQ(
        at, (std::vector<Ticks>{tick, 2 * tick, 3 * tick, 3 * tick + (exact ? Milliseconds(3) : 0),
                                3 * tick + Milliseconds(13)}));
  }
}

TEST(Dpcs, ADpcAndADeviceEventDueTogetherRunInEitherOrder) {
  std::set<std::string> orders;
  for (uint64_t seed = 1; seed <= 16; ++seed) {
    Kernel k(KernelOptions{.seed = seed});
    std::string order;
    auto r = k.Run([&] {
      KTIMER timer;
      KDPC dpc;
      KeInitializeTimer(&timer);
      KeInitializeDpc(
          &dpc, [](PKDPC, PVOID order, PVOID, PVOID) { *static_cast<std::string*>(order) += "D"; },
          &order);
      KeSetTimer(&timer, Relative(2 * kClockTick), &dpc);
      k.ScheduleAt(2 * kClockTick, [&] { order += "E"; });
      Sleep(3 * kClockTick);
    });
    ASSERT_TRUE(r.ok()) << r.report;
    orders.insert(order);
  }
  EXPECT_EQ(orders, (std::set<std::string>{"DE", "ED"}));
}
