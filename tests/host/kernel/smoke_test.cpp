#include <gtest/gtest.h>

#include "host/kernel/kernel.h"
#include "platform/wdm.h"

using namespace host::kernel;

TEST(Smoke, RunsMain) {
  Kernel k;
  bool ran = false;
  auto r = k.Run([&] { ran = true; });
  EXPECT_TRUE(r.ok()) << r.report;
  EXPECT_TRUE(ran);
}

TEST(Smoke, TimedWaitAndThreads) {
  Kernel k;
  Ticks woke = 0;
  NTSTATUS st = 0;
  auto r = k.Run([&] {
    static KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    k.Spawn("setter", [&] {
      LARGE_INTEGER d;
      d.QuadPart = -Milliseconds(100);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      KeSetEvent(&e, 0, FALSE);
    });
    st = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
    woke = k.Now();
  });
  EXPECT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(st, STATUS_SUCCESS);
  EXPECT_EQ(woke, Milliseconds(100));
}

TEST(Smoke, Deadlock) {
  Kernel k;
  auto r = k.Run([&] {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
  });
  EXPECT_EQ(r.outcome, Outcome::kDeadlock);
  EXPECT_NE(r.report.find("'main'"), std::string::npos) << r.report;
}

// A machine stopped with pool still allocated must not leak it into the host process (the
// sanitizer build's leak check fails the binary otherwise).
TEST(Smoke, PoolOfAStoppedMachineGoesBackToTheHost) {
  auto r = [] {
    Kernel k;
    auto result = k.Run([&] {
      ExAllocatePoolWithTag(NonPagedPool, 64, host::kernel::MakeTag("Test"));
      k.BugCheck("Test", "stop with pool allocated");
    });
    EXPECT_EQ(k.pool().outstanding_blocks(), 1u);
    return result;
  }();
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
}
