// IRP mechanics: stack locations, completion routines and when they run, STATUS_MORE_PROCESSING_
// REQUIRED, pending propagation, cancellation races and built device-control requests.
#include <gtest/gtest.h>

#include "tests/host/io/io_test_support.h"

using namespace host::io;
using namespace host::io::testing;
using host::kernel::Milliseconds;

namespace {

// Three scripted device objects stacked bottom to top.
struct Stack3 {
  Scripted scripts[3];
  PDEVICE_OBJECT devices[3] = {};
  void Build(IoManager& io) {
    PDRIVER_OBJECT driver = ScriptedDriver(io);
    for (int i = 0; i < 3; ++i) {
      devices[i] = CreateScripted(driver, &scripts[i]);
      if (i) IoAttachDeviceToDeviceStack(devices[i], devices[i - 1]);
    }
  }
  void Teardown() {
    for (int i = 2; i >= 0; --i) {
      if (i) IoDetachDevice(devices[i - 1]);
      IoDeleteDevice(devices[i]);
    }
  }
  PDEVICE_OBJECT top() { return devices[2]; }
};

struct Seen {
  PDEVICE_OBJECT device = nullptr;
  int calls = 0;
  BOOLEAN pending_returned = FALSE;
};

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto seen = static_cast<Seen*>(context);
  seen->device = device;
  seen->pending_returned = irp->PendingReturned;
  ++seen->calls;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS RecordAndContinue(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  Record(device, irp, context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

TEST(Irp, StackLocationsCountDownAndCopyOrSkipAsDocumented) {
  Machine m;
  auto r = m.k.Run([&] {
    Stack3 s;
    s.Build(m.io);
    EXPECT_EQ(s.top()->StackSize, 3);
    int locations[3] = {};
    ULONG codes[3] = {};
    UCHAR controls[3] = {};
    Seen seen;
    s.scripts[2].dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
      locations[2] = irp->CurrentLocation;
      EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, RecordAndContinue, &seen, TRUE, TRUE, TRUE);
      IoCopyCurrentIrpStackLocationToNext(irp);  // copying again clears Control
      controls[2] = IoGetNextIrpStackLocation(irp)->Control;
      return IoCallDriver(s.devices[1], irp);
    };
    s.scripts[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      locations[1] = irp->CurrentLocation;
      codes[1] = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(s.devices[0], irp);
    };
    s.scripts[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      locations[0] = irp->CurrentLocation;
      codes[0] = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
      return Complete(irp, STATUS_SUCCESS);
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222004, s.top(), nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoCallDriver(s.top(), irp), STATUS_SUCCESS);
    EXPECT_EQ(locations[2], 3);
    EXPECT_EQ(locations[1], 2);
    EXPECT_EQ(locations[0], 2);  // skipped: the lower driver reuses the location
    EXPECT_EQ(codes[1], 0x222004u);
    EXPECT_EQ(codes[0], 0x222004u);
    EXPECT_EQ(controls[2], 0);
    s.Teardown();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

struct InvokeCase {
  NTSTATUS status;
  bool cancel;
  BOOLEAN on_success, on_error, on_cancel;
  bool invoked;
};

class CompletionInvoke : public ::testing::TestWithParam<InvokeCase> {};

TEST_P(CompletionInvoke, RoutineRunsOnlyWhenItsFlagsMatchTheOutcome) {
  const InvokeCase c = GetParam();
  Machine m;
  Seen seen;
  auto r = m.k.Run([&] {
    Scripted script{[&](PDEVICE_OBJECT, PIRP irp) {
      if (c.cancel) irp->Cancel = TRUE;
      return Complete(irp, c.status);
    }};
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    // Owned by a routine set at the top, which always takes it back.
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetCompletionRoutine(irp, Record, &seen, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);  // the owner's own location
    Seen inner;
    IoSetCompletionRoutine(irp, RecordAndContinue, &inner, c.on_success, c.on_error, c.on_cancel);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    // The routine in the bottom location belongs to the driver of the top location.
    IoCallDriver(device, irp);
    EXPECT_EQ(inner.calls, c.invoked ? 1 : 0);
    if (c.invoked) {
      EXPECT_EQ(inner.device, device);
    }
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.device, nullptr);  // nobody above the IRP's first location
    IoFreeIrp(irp);
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CompletionInvoke,
    ::testing::Values(InvokeCase{STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
                      InvokeCase{STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
                      InvokeCase{STATUS_IO_TIMEOUT, false, FALSE, TRUE, FALSE, true},
                      InvokeCase{STATUS_IO_TIMEOUT, false, TRUE, FALSE, FALSE, false},
                      InvokeCase{STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
                      InvokeCase{STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
                      InvokeCase{STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false}));

TEST(Irp, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
  Machine m;
  auto r = m.k.Run([&] {
    Stack3 s;
    s.Build(m.io);
    Seen top_routine;
    bool middle_resumed = false;
    s.scripts[2].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, RecordAndContinue, &top_routine, TRUE, TRUE, TRUE);
      return IoCallDriver(s.devices[1], irp);
    };
    s.scripts[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT, PIRP, PVOID event) {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED);
          },
          &done, TRUE, TRUE, TRUE);
      IoCallDriver(s.devices[0], irp);
      // Completion stopped below: the routine above has not run yet.
      EXPECT_EQ(top_routine.calls, 0);
      EXPECT_EQ(irp->CurrentLocation, 2);
      middle_resumed = true;
      return Complete(irp, STATUS_DEVICE_BUSY);
    };
    s.scripts[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222004, s.top(), nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    EXPECT_EQ(IoCallDriver(s.top(), irp), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(middle_resumed);
    EXPECT_EQ(top_routine.calls, 1);
    EXPECT_EQ(top_routine.device, s.top());
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(m.io.live_irps(), 0u);
    s.Teardown();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Irp, PendingIsCarriedUpToTheLocationsWithoutARoutine) {
  Machine m;
  auto r = m.k.Run([&] {
    Stack3 s;
    s.Build(m.io);
    Seen top_routine;
    s.scripts[2].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, RecordAndContinue, &top_routine, TRUE, TRUE, TRUE);
      return IoCallDriver(s.devices[1], irp);
    };
    s.scripts[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);  // no routine: the pending mark is carried for it
      return IoCallDriver(s.devices[0], irp);
    };
    s.scripts[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      m.k.ScheduleAfter(Milliseconds(3), [irp] { Complete(irp, STATUS_SUCCESS, 7); });
      return NTSTATUS(STATUS_PENDING);
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222004, s.top(), nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    EXPECT_EQ(IoCallDriver(s.top(), irp), STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(m.k.Now(), Milliseconds(3));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_TRUE(top_routine.pending_returned);
    s.Teardown();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// A driver that keeps requests with a cancel routine, the documented way.
struct Keeper {
  PIRP kept = nullptr;
  int cancel_routine_calls = 0;
  KIRQL irql_in_routine = PASSIVE_LEVEL;
  static Keeper* current;
  static VOID Cancel(PDEVICE_OBJECT, PIRP irp) {
    current->irql_in_routine = KeGetCurrentIrql();
    ++current->cancel_routine_calls;
    current->kept = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
  }
  NTSTATUS Keep(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
      IoReleaseCancelSpinLock(irql);
      return Complete(irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    kept = irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
};
Keeper* Keeper::current = nullptr;

TEST(Cancel, BeforeTheCancelRoutineIsSetTheDriverSeesTheFlag) {
  Machine m;
  auto r = m.k.Run([&] {
    Keeper keeper;
    Keeper::current = &keeper;
    Scripted script{[&](PDEVICE_OBJECT, PIRP irp) { return keeper.Keep(irp); }};
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));  // no routine yet
    EXPECT_TRUE(irp->Cancel);
    Seen seen;
    IoSetCompletionRoutine(irp, Record, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_CANCELLED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(keeper.cancel_routine_calls, 0);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Cancel, AfterTheCancelRoutineIsSetItRunsUnderTheCancelSpinLock) {
  Machine m;
  auto r = m.k.Run([&] {
    Keeper keeper;
    Keeper::current = &keeper;
    Scripted script{[&](PDEVICE_OBJECT, PIRP irp) { return keeper.Keep(irp); }};
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    PIRP irp = IoAllocateIrp(1, FALSE);
    Seen seen;
    IoSetCompletionRoutine(irp, Record, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(seen.calls, 0);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(keeper.cancel_routine_calls, 1);
    EXPECT_EQ(keeper.irql_in_routine, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_TRUE(seen.pending_returned);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    // Completed and back with its owner: a second cancel finds no routine.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(keeper.cancel_routine_calls, 1);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Cancel, RaceBetweenCompletionAndCancelIsDecidedByTheCancelRoutine) {
  // The completing side clears the cancel routine first; the cancel finds none and the request
  // completes with its own status, once, whatever the seed.
  auto results = host::kernel::RunSeeds(8, [](uint64_t seed) {
    Machine m({}, seed);
    NTSTATUS final_status = STATUS_PENDING;
    auto r = m.k.Run([&] {
      Keeper keeper;
      Keeper::current = &keeper;
      Scripted script{[&](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = keeper.Keep(irp);
        // At the clock tick where the canceller's 1 ms delay ends: the two race.
        m.k.ScheduleAfter(host::kernel::kClockTick, [&keeper] {
          PIRP irp = keeper.kept;
          if (irp && IoSetCancelRoutine(irp, nullptr)) {
            keeper.kept = nullptr;
            Complete(irp, STATUS_SUCCESS);
          }
        });
        return status;
      }};
      PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
      Application app(m.io);
      (void)app;
      PIRP irp = IoAllocateIrp(1, FALSE);
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT, PIRP, PVOID event) {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED);
          },
          &done, TRUE, TRUE, TRUE);
      IoCallDriver(device, irp);
      m.k.Spawn("canceller", [irp, &m] {
        LARGE_INTEGER delay;
        delay.QuadPart = -Milliseconds(1);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        if (m.io.HoldIrp(irp)) {
          IoCancelIrp(irp);
          m.io.ReleaseIrp(irp);
        }
      });
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      final_status = irp->IoStatus.Status;
      LARGE_INTEGER delay;
      delay.QuadPart = -Milliseconds(2);
      KeDelayExecutionThread(KernelMode, FALSE, &delay);  // the canceller has finished
      IoFreeIrp(irp);
      IoDeleteDevice(device);
    });
    if (r.ok() && final_status != STATUS_SUCCESS && final_status != STATUS_CANCELLED) {
      r.outcome = host::kernel::Outcome::kBugCheck;
      r.report = "unexpected status";
    }
    return r;
  });
  for (auto& r : results) EXPECT_TRUE(r.ok()) << r.report;
}

TEST(BuildDeviceIoControlRequest, BufferedRoundTripCopiesOutputUpToInformation) {
  Machine m;
  auto r = m.k.Run([&] {
    ULONG seen_in = 0, seen_out = 0;
    std::vector<UCHAR> seen_input;
    Scripted script{[&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      seen_in = stack->Parameters.DeviceIoControl.InputBufferLength;
      seen_out = stack->Parameters.DeviceIoControl.OutputBufferLength;
      auto buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
      seen_input.assign(buffer, buffer + seen_in);
      buffer[0] = 0xA1;
      buffer[1] = 0xA2;
      buffer[2] = 0xA3;
      IoMarkIrpPending(irp);
      m.k.ScheduleAfter(Milliseconds(10), [irp] { Complete(irp, STATUS_SUCCESS, 2); });
      return NTSTATUS(STATUS_PENDING);
    }};
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    UCHAR input[3] = {1, 2, 3};
    UCHAR output[6] = {0, 0, 0, 0, 0, 0};
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x222008, device, input, 3, output, 6, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(seen_in, 3u);
    EXPECT_EQ(seen_out, 6u);
    EXPECT_EQ(seen_input, (std::vector<UCHAR>{1, 2, 3}));
    EXPECT_EQ(output[0], 0xA1);
    EXPECT_EQ(output[1], 0xA2);
    EXPECT_EQ(output[2], 0);          // beyond Information
    EXPECT_EQ(m.io.live_irps(), 0u);  // freed by the I/O manager
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(m.k.pool().outstanding_blocks(), 0u);
}

TEST(BuildDeviceIoControlRequest, InternalMethodNeitherPassesTheBuffersThrough) {
  Machine m;
  auto r = m.k.Run([&] {
    PVOID argument = nullptr;
    UCHAR major = 0;
    Scripted script{[&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      major = stack->MajorFunction;
      argument = stack->Parameters.Others.Argument1;
      return Complete(irp, STATUS_SUCCESS);
    }};
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    int urb = 0;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &iosb);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(argument, &urb);
    EXPECT_EQ(KeReadStateEvent(&event), 1);  // signalled even though it did not pend
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(BuildDeviceIoControlRequest, FailsCleanlyWhenPoolIsExhausted) {
  Machine m;
  auto r = m.k.Run([&] {
    Scripted script{[&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }};
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    UCHAR buffer[4] = {};
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    m.k.pool().FailTag(host::kernel::MakeTag("Irp "));
    EXPECT_EQ(
        IoBuildDeviceIoControlRequest(0x222008, device, buffer, 4, buffer, 4, FALSE, &event, &iosb),
        nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    m.k.pool().ClearFaults();
    m.k.pool().FailTag(host::kernel::MakeTag("IoBu"));
    EXPECT_EQ(
        IoBuildDeviceIoControlRequest(0x222008, device, buffer, 4, buffer, 4, FALSE, &event, &iosb),
        nullptr);
    m.k.pool().ClearFaults();
    EXPECT_EQ(m.io.live_irps(), 0u);
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

}  // namespace
