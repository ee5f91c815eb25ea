#include "tests/host/kernel/kernel_test_support.h"

using namespace host::kernel;
using namespace host::kernel::testing;

struct Worker {
  KEVENT stop;
  int loops = 0;
  bool after_terminate = false;
};

// External linkage, as a driver's thread routine has: reports find it by its symbol.
void WorkerThread(PVOID context);
void WorkerThread(PVOID context) {
  auto w = static_cast<Worker*>(context);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  while (KeWaitForSingleObject(&w->stop, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT) {
    ++w->loops;
    Sleep(Milliseconds(500));
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
  w->after_terminate = true;
}

TEST(SystemThreads, RunUntilToldToStopAndEndAtTerminate) {
  Kernel k;
  Worker w;
  KPRIORITY previous = -1, now = -1;
  auto r = k.Run([&] {
    KeInitializeEvent(&w.stop, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(CreateThread(&handle, WorkerThread, &w), STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    previous = KeSetPriorityThread(static_cast<PKTHREAD>(thread), HIGH_PRIORITY);
    now = KeQueryPriorityThread(static_cast<PKTHREAD>(thread));
    Sleep(Milliseconds(2200));
    KeSetEvent(&w.stop, 0, FALSE);
    EXPECT_EQ(WaitForever(thread), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    ZwClose(handle);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(w.loops, 5);  // at 0, 500, 1000, 1500 and 2000 ms
  EXPECT_FALSE(w.after_terminate);
  EXPECT_EQ(previous, 8);
  EXPECT_EQ(now, HIGH_PRIORITY);
}

TEST(SystemThreads, ThreadsAreNamedAfterTheirRoutineInReports) {
  Kernel k;
  Worker w;
  auto r = k.Run([&] {
    KeInitializeEvent(&w.stop, NotificationEvent, FALSE);
    HANDLE handle;
    CreateThread(&handle, WorkerThread, &w);
    ZwClose(handle);
  });
  ExpectBugCheck(r, "still running at shutdown", "WorkerThread");
}

TEST(SystemThreads, AnInjectedPoolFailureFailsCreation) {
  Kernel k;
  auto r = k.Run([&] {
    Worker w;
    KeInitializeEvent(&w.stop, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    k.pool().FailNth(1);
    EXPECT_EQ(CreateThread(&handle, WorkerThread, &w), STATUS_INSUFFICIENT_RESOURCES);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Scheduler, DeadlockReportNamesEveryBlockedThreadAndItsObject) {
  Kernel k;
  auto r = k.Run([&] {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    WaitForever(&m);
    k.Spawn("stuck", [&] { WaitForever(&m); });
    WaitForever(&never);
  });
  EXPECT_EQ(r.outcome, Outcome::kDeadlock);
  EXPECT_NE(r.report.find("'main' #"), std::string::npos) << r.report;
  EXPECT_NE(r.report.find("synchronization event"), std::string::npos) << r.report;
  EXPECT_NE(r.report.find("'stuck'"), std::string::npos) << r.report;
  EXPECT_NE(r.report.find("mutex owned by thread 'main'"), std::string::npos) << r.report;
}

namespace {

// Three threads that take turns on a mutex with short delays: the order in which they get it
// depends on the scheduler's choices.
RunResult Interleaving(uint64_t seed, std::vector<TraceEvent>* trace, std::string* order) {
  Kernel k(KernelOptions{.seed = seed, .record_trace = true});
  auto r = k.Run([&] {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    int finished = 0;
    for (char name : std::string("abc")) {
      k.Spawn(std::string(1, name), [&, name] {
        for (int i = 0; i < 4; ++i) {
          k.Yield();
          WaitForever(&m);
          *order += name;
          KeReleaseMutex(&m, FALSE);
          Sleep(Milliseconds(1));
        }
        if (++finished == 3) KeSetEvent(&done, 0, FALSE);
      });
    }
    WaitForever(&done);
  });
  *trace = k.Trace();
  return r;
}

}  // namespace

TEST(Scheduler, TheSameSeedReplaysTheRunAndOtherSeedsInterleaveDifferently) {
  std::vector<TraceEvent> first, second;
  std::string first_order, second_order;
  ASSERT_TRUE(Interleaving(7, &first, &first_order).ok());
  ASSERT_TRUE(Interleaving(7, &second, &second_order).ok());
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  EXPECT_EQ(first_order, second_order);

  std::set<std::string> orders;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    std::vector<TraceEvent> trace;
    std::string order;
    ASSERT_TRUE(Interleaving(seed, &trace, &order).ok());
    orders.insert(order);
  }
  EXPECT_GT(orders.size(), 1u) << "every seed gave the interleaving " << *orders.begin();
}

TEST(DebugPrint, IsCapturedLineByLine) {
  Kernel k;
  auto r = k.Run([&] {
    DbgPrint("'%s: entering %s\n", "Zarq7usb.sys", "Open");
    DbgPrint("value %d", 42);
    DbgPrint(" continued\n");
  });
  ASSERT_TRUE(r.ok()) << r.report;
  auto lines = k.debug_log().Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "'Zarq7usb.sys: entering Open");
  EXPECT_EQ(lines[1], "value 42 continued");
}
