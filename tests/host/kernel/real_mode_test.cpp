// Real mode: operating-system threads against the monotonic clock. Kept short; under TSan these
// are the stress tests of the kernel's own locking.
#include <atomic>
#include <vector>

#include "tests/host/kernel/kernel_test_support.h"

using namespace host::kernel;
using namespace host::kernel::testing;

TEST(RealMode, ThreadsContendOnAMutexAndASpinLock) {
  Kernel k(KernelOptions{.mode = Mode::kReal});
  LONG mutex_count = 0, spin_count = 0, interlocked_count = 0;
  auto r = k.Run([&] {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::vector<PKTHREAD> workers;
    for (int t = 0; t < 4; ++t) {
      workers.push_back(k.Spawn("worker", [&] {
        for (int i = 0; i < 500; ++i) {
          WaitForever(&m);
          ++mutex_count;
          KeReleaseMutex(&m, FALSE);
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
          ++spin_count;
          KeReleaseSpinLock(&lock, old);
          InterlockedIncrement(&interlocked_count);
        }
      }));
    }
    // A thread object is signalled once the thread has really ended.
    for (PKTHREAD worker : workers) WaitForever(worker);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(mutex_count, 2000);
  EXPECT_EQ(spin_count, 2000);
  EXPECT_EQ(interlocked_count, 2000);
}

TEST(RealMode, TimersAndTimedWaitsFollowTheClock) {
  Kernel k(KernelOptions{.mode = Mode::kReal});
  std::atomic<int> dpc_runs = 0;
  auto r = k.Run([&] {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID c, PVOID, PVOID) { ++*static_cast<std::atomic<int>*>(c); },
        &dpc_runs);
    KeSetTimer(&timer, Relative(Milliseconds(20)), &dpc);
    EXPECT_EQ(WaitForever(&timer), STATUS_SUCCESS);
    EXPECT_GE(k.Now(), Milliseconds(20));
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    Ticks before = k.Now();
    EXPECT_EQ(Wait(&never, Milliseconds(10)), STATUS_TIMEOUT);
    EXPECT_GE(k.Now() - before, Milliseconds(10));
    Sleep(Milliseconds(5));
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(dpc_runs, 1);
}
