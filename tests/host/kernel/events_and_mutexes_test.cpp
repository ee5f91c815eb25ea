#include <vector>

#include "tests/host/kernel/kernel_test_support.h"

using namespace host::kernel;
using namespace host::kernel::testing;

TEST(Events, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  Kernel k;
  int woken = 0;
  LONG previous_first = -1, previous_second = -1, state_after = -1;
  auto r = k.Run([&] {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    for (int i = 0; i < 3; ++i) {
      k.Spawn("waiter", [&] {
        WaitForever(&e);
        ++woken;
      });
    }
    Sleep(Milliseconds(1));  // let every waiter block
    previous_first = KeSetEvent(&e, 0, FALSE);
    previous_second = KeSetEvent(&e, 0, FALSE);
    Sleep(Milliseconds(1));
    state_after = KeReadStateEvent(&e);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(previous_first, 0);
  EXPECT_EQ(previous_second, 1);
  EXPECT_EQ(state_after, 1);
}

TEST(Events, SynchronizationEventReleasesOneWaiterPerSignal) {
  Kernel k;
  int woken = 0;
  LONG state_after_one = -1;
  auto r = k.Run([&] {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    for (int i = 0; i < 2; ++i) {
      k.Spawn("waiter", [&] {
        WaitForever(&e);
        if (++woken == 2) KeSetEvent(&done, 0, FALSE);
      });
    }
    Sleep(Milliseconds(1));
    KeSetEvent(&e, 0, FALSE);
    Sleep(Milliseconds(1));
    EXPECT_EQ(woken, 1);
    state_after_one = KeReadStateEvent(&e);  // consumed by the waiter it released
    KeSetEvent(&e, 0, FALSE);
    WaitForever(&done);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(state_after_one, 0);
}

TEST(Events, ResetReturnsThePreviousStateAndAZeroWaitPolls) {
  Kernel k;
  auto r = k.Run([&] {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, TRUE);
    EXPECT_EQ(Wait(&e, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&e), 1);
    EXPECT_EQ(KeResetEvent(&e), 0);
    EXPECT_EQ(Wait(&e, 0), STATUS_TIMEOUT);
    KeSetEvent(&e, 0, FALSE);
    KeClearEvent(&e);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
    EXPECT_EQ(k.Now(), 0);  // polling takes no time
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Mutexes, RecursiveForTheOwnerAndHandedToTheFirstWaiterOnFinalRelease) {
  Kernel k;
  std::vector<std::string> order;
  auto r = k.Run([&] {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    EXPECT_EQ(KeReadStateMutex(&m), 1);
    WaitForever(&m);
    WaitForever(&m);  // recursion does not block the owner
    EXPECT_EQ(KeReadStateMutex(&m), -1);
    PKTHREAD waiter_thread = nullptr;
    waiter_thread = k.Spawn("waiter", [&] {
      WaitForever(&m);
      order.push_back("waiter owns");
      EXPECT_EQ(m.OwnerThread, KeGetCurrentThread());
      KeReleaseMutex(&m, FALSE);
    });
    Sleep(Milliseconds(5));
    KeReleaseMutex(&m, FALSE);
    order.push_back("main released once");
    Sleep(Milliseconds(5));
    EXPECT_TRUE(order.size() == 1) << "the waiter ran while main still owned the mutex";
    KeReleaseMutex(&m, FALSE);
    // Ownership passed at the release, before the waiter ran again.
    EXPECT_EQ(m.OwnerThread, waiter_thread);
    order.push_back("main released twice");
    Sleep(Milliseconds(5));
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(order,
            (std::vector<std::string>{"main released once", "main released twice", "waiter owns"}));
}

TEST(Mutexes, TimedWaitOnAMutexOwnedElsewhereTimesOut) {
  Kernel k;
  NTSTATUS status = STATUS_SUCCESS;
  Ticks when = 0;
  auto r = k.Run([&] {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    k.Spawn("owner", [&] {
      WaitForever(&m);
      WaitForever(&release);
      KeReleaseMutex(&m, FALSE);
    });
    Sleep(Milliseconds(1));
    status = Wait(&m, Milliseconds(250));
    when = k.Now();
    KeSetEvent(&release, 0, FALSE);
    EXPECT_EQ(WaitForever(&m), STATUS_SUCCESS);
    KeReleaseMutex(&m, FALSE);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(status, STATUS_TIMEOUT);
  // The 1 ms sleep ends on the first clock tick; the time-out 250 ms later, rounded to a tick.
  EXPECT_EQ(when, kClockTick + RoundUpToClockTick(Milliseconds(250)));
}
