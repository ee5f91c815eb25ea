// Card tracking: the thread's polling in virtual time, the presence request it completes, its
// cancellation, and starts and stops of opens and closes that overlap. Every run also ends with
// the machine's check that no thread is left running and no thread handle is left open.
#include "tests/reader/reader_bench.h"

using namespace reader_test;
using host::kernel::RoundUpToClockTick;

namespace {

// A GET STATUS answer is one 9-byte block: it starts 5 ms after the query and takes 8 more
// characters of 1 ms.
constexpr Ticks kQueryTime = Milliseconds(5 + 8);
constexpr Ticks kPeriod = Milliseconds(1200);

const char* const kPowered = "80 01 05 90 00";
const char* const kSwallowed = "80 01 03 90 00";
const char* const kAbsent = "80 01 00 90 00";

// Bounded, so that a close that never returns fails the test instead of running forever.
bool WaitFor(PKEVENT event, Ticks limit = Seconds(10)) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -limit;
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool WaitFor(Notification& n, Ticks limit) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -limit;
  return KeWaitForSingleObject(&n.done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

}  // namespace

TEST(CardTrackingThread, QueriesAtOnceThenEveryPeriodPlusTheQuerysOwnTime) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    Ticks start = Now();
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_NE(b.reader->TrackingThread, nullptr);
    Sleep(Seconds(5));
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(b.reader->TrackingThread, nullptr);

    std::vector<Ticks> t = far->StatusQueryTimes();
    ASSERT_EQ(t.size(), 5u) << "queries at 0, 1.213, 2.426, 3.639 and 4.852 s";
    EXPECT_EQ(t[0], start);
    for (size_t i = 1; i < t.size(); ++i) {
      EXPECT_EQ(t[i], RoundUpToClockTick(t[i - 1] + kQueryTime + kPeriod));
    }
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));
  }));
}

TEST(CardTrackingThread, StopTakesEffectWithinOneSleep) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    Sleep(Milliseconds(500));  // the thread sleeps
    Ticks asked = Now();
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_LT(Now() - asked, kPeriod);
    EXPECT_EQ(Now(), asked) << "the sleep ends when the stop is asked for";

    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    // The thread is in the middle of its query (a wait shorter than a clock tick, so exact).
    host::kernel::Kernel::Current().SleepFor(Milliseconds(2));
    asked = Now();
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(Now() - asked, kQueryTime - Milliseconds(2)) << "the query is finished first";
    EXPECT_EQ(far->StatusQueryTimes().size(), 2u);
  }));
}

TEST(CardTrackingThread, RemovalCompletesThePendingRequestWithinAPeriodAndAQuery) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    Sleep(Milliseconds(100));
    auto n = SendNotification(b);
    EXPECT_FALSE(n->completed());
    EXPECT_EQ(b.extension->OsData->NotificationIrp, n->irp);
    Sleep(Milliseconds(300));

    status = Hex(kAbsent);
    Ticks removed = Now();
    ASSERT_TRUE(WaitFor(*n, Seconds(5)));
    EXPECT_LE(Now() - removed, kPeriod + kQueryTime);
    EXPECT_EQ(n->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(n->iosb.Information, 0u);
    EXPECT_EQ(b.extension->OsData->NotificationIrp, nullptr);
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
  }));
}

TEST(CardTrackingThread, OnlyAPresenceChangeCompletesTheRequest) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes status = Hex(kSwallowed);
    auto far = StatusReader(b, &status);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    Sleep(Milliseconds(100));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    auto n = SendNotification(b);

    status = Hex(kPowered);  // present before and after
    EXPECT_FALSE(WaitFor(*n, Seconds(3)));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_POWERED));

    status = Hex(kSwallowed);
    EXPECT_FALSE(WaitFor(*n, Seconds(3)));

    status = Hex(kAbsent);
    ASSERT_TRUE(WaitFor(*n, Seconds(3)));
    EXPECT_EQ(n->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(n->iosb.Information, 0u);
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
  }));
}

TEST(CardTrackingThread, SpecificCardReportedPoweredStaysSpecificWithoutNotification) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    SetState(b, SCARD_SPECIFIC);
    b.extension->CardCapabilities.ATR.Length = 4;
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    auto n = SendNotification(b);
    EXPECT_FALSE(WaitFor(*n, Seconds(3)));
    EXPECT_EQ(b.extension->ReaderCapabilities.CurrentState, ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(b.extension->CardCapabilities.ATR.Length, 4);
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    // Cleanup completes what still waits.
    EXPECT_EQ(CompleteCardTracking(b.extension), STATUS_SUCCESS);
    ASSERT_TRUE(n->completed());
    EXPECT_EQ(n->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(n->iosb.Information, 0u);
    EXPECT_EQ(CompleteCardTracking(b.extension), STATUS_SUCCESS) << "nothing left: no effect";
  }));
}

TEST(ReaderCardTracking, CancelledRequestCompletesAsCancelled) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    auto n = SendNotification(b);
    EXPECT_NE(n->irp->CancelRoutine, nullptr);
    EXPECT_TRUE(IoCancelIrp(n->irp));
    ASSERT_TRUE(n->completed());
    EXPECT_EQ(n->iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(n->iosb.Information, 0u);
    EXPECT_EQ(b.extension->OsData->NotificationIrp, nullptr);

    // A request cancelled before the reader function installed its routine is not left waiting.
    auto early = SendNotification(b, /*cancel_first=*/true);
    ASSERT_TRUE(early->completed());
    EXPECT_EQ(early->iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(b.extension->OsData->NotificationIrp, nullptr);
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
  }));
}

TEST(ReaderCardTracking, RefusedWithoutTheThreadOrWhileRequestsAreRejected) {
  ExpectOk(RunReader([](LinkBench& b) {
    auto n = SendNotification(b);
    ASSERT_TRUE(n->completed());
    EXPECT_EQ(n->iosb.Status, STATUS_INVALID_DEVICE_STATE);

    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    b.reader->RejectedRequestCount = 1;
    auto rejected = SendNotification(b);
    ASSERT_TRUE(rejected->completed());
    EXPECT_EQ(rejected->iosb.Status, STATUS_INVALID_DEVICE_STATE);
    b.reader->RejectedRequestCount = 0;
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);

    auto after_close = SendNotification(b);
    ASSERT_TRUE(after_close->completed());
    EXPECT_EQ(after_close->iosb.Status, STATUS_INVALID_DEVICE_STATE);
  }));
}

// A close has completed its request and waits in its stop for the thread, which is in the middle
// of a slow query, when the next open starts tracking.
TEST(StartCardTracking, StartDuringAStopWaitsForItThenRunsANewThread) {
  ExpectOk(RunReader([](LinkBench& b) {
    auto& k = host::kernel::Kernel::Current();
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    far->delay = Milliseconds(600);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    PKTHREAD first = b.reader->TrackingThread;

    KEVENT closed, opened;
    KeInitializeEvent(&closed, NotificationEvent, FALSE);
    KeInitializeEvent(&opened, NotificationEvent, FALSE);
    NTSTATUS stop_status = STATUS_PENDING, start_status = STATUS_PENDING;
    Ticks stopped_at = 0, started_at = 0;
    k.Spawn("close", [&] {
      Sleep(Milliseconds(100));
      stop_status = StopCardTracking(b.extension);
      stopped_at = Now();
      KeSetEvent(&closed, IO_NO_INCREMENT, FALSE);
    });
    k.Spawn("open", [&] {
      Sleep(Milliseconds(200));
      start_status = StartCardTracking(b.extension);
      started_at = Now();
      KeSetEvent(&opened, IO_NO_INCREMENT, FALSE);
    });
    ASSERT_TRUE(WaitFor(&closed)) << "the close never returned";
    ASSERT_TRUE(WaitFor(&opened)) << "the open never returned";
    EXPECT_EQ(stop_status, STATUS_SUCCESS);
    EXPECT_EQ(start_status, STATUS_SUCCESS);
    EXPECT_EQ(stopped_at, Milliseconds(600 + 8)) << "the close returns once the query is done";
    EXPECT_GE(started_at, stopped_at);
    ASSERT_NE(b.reader->TrackingThread, nullptr);
    EXPECT_NE(b.reader->TrackingThread, first);

    // The new open is tracked: its thread queries at once and then every period.
    Sleep(Seconds(2));
    std::vector<Ticks> t = far->StatusQueryTimes();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1], started_at);
    EXPECT_EQ(t[2], RoundUpToClockTick(t[1] + Milliseconds(608) + kPeriod));
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(b.reader->TrackingThread, nullptr);
  }));
}

// The next open starts tracking after the close cleared its open mark but before the close has
// asked the thread to stop.
TEST(StartCardTracking, StartBeforeTheClosesStopKeepsTheThreadForTheNewOpen) {
  ExpectOk(RunReader([](LinkBench& b) {
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    PKTHREAD thread = b.reader->TrackingThread;
    Sleep(Milliseconds(100));
    EXPECT_EQ(StartCardTracking(b.extension), STATUS_DEVICE_BUSY) << "the thread goes on";
    Ticks asked = Now();
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(Now(), asked) << "the close does not wait";
    EXPECT_EQ(b.reader->TrackingThread, thread);

    size_t before = far->StatusQueryTimes().size();
    Sleep(Seconds(3));
    EXPECT_EQ(far->StatusQueryTimes().size(), before + 2) << "queries at 1.213 and 2.426 s";
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(b.reader->TrackingThread, nullptr);
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS) << "nothing to stop";
  }));
}

TEST(StopCardTracking, WaitsWhileThePowerPathHoldsTheLink) {
  ExpectOk(RunReader([](LinkBench& b) {
    auto& k = host::kernel::Kernel::Current();
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    KeWaitForSingleObject(&b.reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    KEVENT closed;
    KeInitializeEvent(&closed, NotificationEvent, FALSE);
    k.Spawn("close", [&] {
      EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
      KeSetEvent(&closed, IO_NO_INCREMENT, FALSE);
    });
    Sleep(Seconds(3));
    EXPECT_EQ(KeReadStateEvent(&closed), 0);
    EXPECT_TRUE(far->commands.empty());
    KeReleaseMutex(&b.reader->LinkMutex, FALSE);  // power-up
    ASSERT_TRUE(WaitFor(&closed));
    EXPECT_EQ(b.reader->TrackingThread, nullptr);
  }));
}

TEST(StartCardTracking, ThreadThatCannotBeCreatedLeavesNoTrackingAndTheCloseReturns) {
  ExpectOk(RunReader([](LinkBench& b) {
    auto& k = host::kernel::Kernel::Current();
    k.pool().FailTag(host::kernel::MakeTag("Thre"));
    EXPECT_EQ(StartCardTracking(b.extension), STATUS_INSUFFICIENT_RESOURCES);
    k.pool().ClearFaults();
    EXPECT_EQ(b.reader->TrackingThread, nullptr);
    auto n = SendNotification(b);
    ASSERT_TRUE(n->completed());
    EXPECT_EQ(n->iosb.Status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);

    // The next open tracks again.
    Bytes status = Hex(kPowered);
    auto far = StatusReader(b, &status);
    EXPECT_EQ(StartCardTracking(b.extension), STATUS_SUCCESS);
    Sleep(Milliseconds(100));
    EXPECT_EQ(StopCardTracking(b.extension), STATUS_SUCCESS);
    EXPECT_EQ(far->StatusQueryTimes().size(), 1u);
  }));
}
