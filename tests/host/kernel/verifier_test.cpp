// Every verifier check stops the machine with a message that names the call.
#include "tests/host/kernel/kernel_test_support.h"

using namespace host::kernel;
using namespace host::kernel::testing;

namespace {

RunResult RunOnce(const std::function<void(Kernel&)>& body) {
  Kernel k;
  return k.Run([&] { body(k); });
}

}  // namespace

void NeverCalled(PVOID);
void NeverCalled(PVOID) {}

TEST(Verifier, WaitWithATimeoutAtDispatchLevel) {
  auto r = RunOnce([](Kernel&) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(Wait(&e, 0), STATUS_TIMEOUT) << "a zero time-out is allowed at DISPATCH_LEVEL";
    Wait(&e, Milliseconds(1));
  });
  ExpectBugCheck(r, "KeWaitForSingleObject", "non-zero time-out at IRQL 2");
  EXPECT_NE(r.report.find("'main'"), std::string::npos) << r.report;
}

TEST(Verifier, DelayAtDispatchLevel) {
  auto r = RunOnce([](Kernel&) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Sleep(Milliseconds(1));
  });
  ExpectBugCheck(r, "KeDelayExecutionThread", "IRQL 2");
}

TEST(Verifier, ReleasingAMutexTheThreadDoesNotOwn) {
  auto r = RunOnce([](Kernel& k) {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    KEVENT hold;
    KeInitializeEvent(&hold, NotificationEvent, FALSE);
    k.Spawn("owner",
            [&] {
              WaitForever(&m);
              WaitForever(&hold);
            },
            {.daemon = true});
    Sleep(Milliseconds(1));
    KeReleaseMutex(&m, FALSE);
  });
  ExpectBugCheck(r, "KeReleaseMutex", "does not own (owner: thread 'owner'");
}

TEST(Verifier, ReleasingASpinLockThatIsNotHeld) {
  auto r = RunOnce([](Kernel&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&lock, old);
  });
  ExpectBugCheck(r, "KeReleaseSpinLock", "not held");
}

TEST(Verifier, ReleasingASpinLockAtTheWrongIrql) {
  auto r = RunOnce([](Kernel&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, old);
  });
  ExpectBugCheck(r, "KeReleaseSpinLock", "at IRQL 0, not DISPATCH_LEVEL");
}

TEST(Verifier, AcquiringASpinLockTwice) {
  auto r = RunOnce([](Kernel&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old, again;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLock(&lock, &again);
  });
  ExpectBugCheck(r, "KeAcquireSpinLock", "holds already");
}

TEST(Verifier, FreeingPoolTwice) {
  auto r = RunOnce([](Kernel&) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, MakeTag("SC7Q"));
    ExFreePool(p);
    ExFreePool(p);
  });
  ExpectBugCheck(r, "ExFreePool", "freed already");
}

TEST(Verifier, FreeingABlockNeverAllocated) {
  auto r = RunOnce([](Kernel&) {
    static char not_pool[16];
    ExFreePool(not_pool);
  });
  ExpectBugCheck(r, "ExFreePool", "never allocated");
}

TEST(Verifier, FreeingPoolThatHoldsASetTimer) {
  auto r = RunOnce([](Kernel&) {
    auto timer =
        static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), MakeTag("SC7Q")));
    KeInitializeTimer(timer);
    KeSetTimer(timer, Relative(Seconds(1)), nullptr);
    ExFreePool(timer);
  });
  ExpectBugCheck(r, "ExFreePool", "timer that is set");
}

TEST(Verifier, ASystemThreadStillRunningAtShutdown) {
  static KEVENT never;  // outlives main, which the report is made after
  auto r = RunOnce([](Kernel&) {
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    HANDLE handle;
    CreateThread(
        &handle, [](PVOID e) { WaitForever(e); }, &never);
    ZwClose(handle);
    Sleep(Milliseconds(1));
  });
  ExpectBugCheck(r, "system threads still running at shutdown", "waits on notification event");
}

TEST(Verifier, PoolStillAllocatedAtShutdownIsReportedWithTagAndSize) {
  auto r = RunOnce([](Kernel&) { ExAllocatePoolWithTag(NonPagedPool, 24, MakeTag("SC7Q")); });
  ExpectBugCheck(r, "pool still allocated at shutdown", "tag SC7Q, 24 bytes");
}

TEST(Verifier, AHandleLeftOpenAtShutdown) {
  auto r = RunOnce([](Kernel&) {
    HANDLE handle;
    CreateThread(&handle, NeverCalled, nullptr);
    Sleep(Milliseconds(1));
  });
  ExpectBugCheck(r, "handles still open at shutdown", "NeverCalled");
}

// A plain handle made outside the system process would be the calling application's.
TEST(Verifier, AThreadHandleOutsideTheSystemProcessWithoutObjKernelHandle) {
  auto r = RunOnce([](Kernel&) {
    HANDLE handle;
    PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, NeverCalled, nullptr);
  });
  ExpectBugCheck(r, "PsCreateSystemThread", "without OBJ_KERNEL_HANDLE");
}

TEST(Verifier, AnObjectReferenceHeldAtShutdown) {
  auto r = RunOnce([](Kernel&) {
    static KEVENT stop;
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    HANDLE handle;
    CreateThread(
        &handle, [](PVOID e) { WaitForever(e); }, &stop);
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    KeSetEvent(&stop, 0, FALSE);
    WaitForever(thread);
  });
  ExpectBugCheck(r, "object references still held at shutdown", "1 to thread");
}

TEST(Verifier, AThreadEndingWhileItOwnsAMutex) {
  auto r = RunOnce([](Kernel&) {
    static KMUTEX m;
    KeInitializeMutex(&m, 0);
    WaitForever(&m);
  });
  ExpectBugCheck(r, "thread 'main'", "ended owning a mutex");
}

static void PageableRoutine() { PAGED_CODE(); }

TEST(Verifier, PageableCodeAboveApcLevel) {
  auto passive = RunOnce([](Kernel&) { PageableRoutine(); });
  EXPECT_TRUE(passive.ok()) << passive.report;
  auto r = RunOnce([](Kernel&) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PageableRoutine();
  });
  ExpectBugCheck(r, "PAGED_CODE", "PageableRoutine is pageable and was called at IRQL 2");
}

// Windows 98/Me: the kernel exports no KeReadStateEvent and a wait on a thread object crashes it.
// On a legacy machine driver code (here a system thread) doing either stops the machine, naming
// the routine; host code (the test's own thread) is left alone.
void ReadsAnEventState(PVOID Context);
void ReadsAnEventState(PVOID Context) {
  KeReadStateEvent(static_cast<PKEVENT>(Context));
  PsTerminateSystemThread(STATUS_SUCCESS);
}
void WaitsForAThread(PVOID Context);
void WaitsForAThread(PVOID Context) {
  WaitForever(Context);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(Verifier, LegacyPlatformStopsOnKeReadStateEventAndThreadWaitsInDriverCode) {
  for (bool thread_wait : {false, true}) {
    auto r = RunOnce([&](Kernel& k) {
      k.SetLegacyPlatform(true);
      KEVENT e;
      KeInitializeEvent(&e, NotificationEvent, FALSE);
      EXPECT_EQ(KeReadStateEvent(&e), 0);
      HANDLE sleeper_handle;
      ASSERT_EQ(CreateThread(&sleeper_handle, NeverCalled, nullptr), STATUS_SUCCESS);
      PVOID sleeper = nullptr;
      ASSERT_EQ(ObReferenceObjectByHandle(sleeper_handle, SYNCHRONIZE, nullptr, KernelMode,
                                          &sleeper, nullptr),
                STATUS_SUCCESS);
      WaitForever(sleeper);  // the test's own wait is host code
      HANDLE h;
      ASSERT_EQ(CreateThread(&h, thread_wait ? WaitsForAThread : ReadsAnEventState,
                             thread_wait ? sleeper : static_cast<PVOID>(&e)),
                STATUS_SUCCESS);
      Sleep(Milliseconds(10));
      ADD_FAILURE() << "the machine went on";
    });
    if (thread_wait) {
      ExpectBugCheck(r, "KeWaitForSingleObject", "thread object crashes Windows 98/Me");
      EXPECT_NE(r.report.find("WaitsForAThread"), std::string::npos) << r.report;
    } else {
      ExpectBugCheck(r, "KeReadStateEvent", "not exported by the Windows 98/Me kernel");
      EXPECT_NE(r.report.find("ReadsAnEventState"), std::string::npos) << r.report;
    }
  }
}
