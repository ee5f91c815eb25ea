// Every verifier check, made to fire: the machine stops with a bug check naming the call.
#include <gtest/gtest.h>

#include "tests/host/io/io_test_support.h"
#include "tests/host/io/test_driver/test_driver.h"

using namespace host::io;
using namespace host::io::testing;
using host::kernel::Outcome;
using host::kernel::RunResult;

namespace {

// Runs body with one scripted device object whose requests go to dispatch.
RunResult WithDevice(Dispatch dispatch, std::function<void(Machine&, PDEVICE_OBJECT)> body) {
  Machine m;
  Scripted script{std::move(dispatch)};
  return m.k.Run([&] {
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    body(m, device);
    IoDeleteDevice(device);
  });
}

// Sends a built device-control request to device and waits for it (unless told not to).
NTSTATUS SendBuilt(PDEVICE_OBJECT device, bool wait = true) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp =
      IoBuildDeviceIoControlRequest(0x222004, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING && wait) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

void ExpectBugCheck(const RunResult& r, const std::string& call, const std::string& words) {
  EXPECT_EQ(r.outcome, Outcome::kBugCheck) << r.report;
  EXPECT_TRUE(Contains(r.report, call)) << r.report;
  EXPECT_TRUE(Contains(r.report, words)) << r.report;
}

TEST(Verifier, CompletingAnIrpTwice) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
      },
      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IofCompleteRequest", "twice");
  EXPECT_TRUE(Contains(r.report, "IRP #1")) << r.report;
}

TEST(Verifier, CompletingAnIrpFromItsOwnCompletionRoutine) {
  Machine m;
  Scripted script{[](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }};
  auto r = m.k.Run([&] {
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) {
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED);
        },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
  });
  ExpectBugCheck(r, "IofCompleteRequest", "being completed already");
}

TEST(Verifier, CompletingWithStatusPending) {
  auto r = WithDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); },
                      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IofCompleteRequest", "with STATUS_PENDING");
}

TEST(Verifier, CompletingWithACancelRoutineSet) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        return Complete(irp, STATUS_SUCCESS);
      },
      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IofCompleteRequest", "cancel routine still set");
}

TEST(Verifier, PendingWithoutMarkingWhenCompletedAtOnce) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        return NTSTATUS(STATUS_PENDING);
      },
      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IofCallDriver", "returned STATUS_PENDING");
  EXPECT_TRUE(Contains(r.report, "without marking it pending")) << r.report;
}

TEST(Verifier, PendingWithoutMarkingWhenCompletedLater) {
  Machine m;
  Scripted script{[&](PDEVICE_OBJECT, PIRP irp) {
    m.k.ScheduleAfter(host::kernel::Milliseconds(1), [irp] { Complete(irp, STATUS_SUCCESS); });
    return NTSTATUS(STATUS_PENDING);
  }};
  auto r = m.k.Run([&] { SendBuilt(CreateScripted(ScriptedDriver(m.io), &script)); });
  ExpectBugCheck(r, "IofCompleteRequest", "without marking it pending");
}

TEST(Verifier, ReturningAStatusOtherThanTheFinalOne) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_IO_TIMEOUT);
        return NTSTATUS(STATUS_SUCCESS);
      },
      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IofCallDriver", "which was completed with STATUS_IO_TIMEOUT");
}

TEST(Verifier, ReturningWithoutCompletingOrPending) {
  auto r = WithDevice([](PDEVICE_OBJECT, PIRP) { return NTSTATUS(STATUS_SUCCESS); },
                      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IofCallDriver", "without completing it");
}

TEST(Verifier, CallingADriverWithNoStackLocationLeft) {
  Machine m;
  Scripted lower{[](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }};
  Scripted upper;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT driver = ScriptedDriver(m.io);
    PDEVICE_OBJECT bottom = CreateScripted(driver, &lower);
    PDEVICE_OBJECT top = CreateScripted(driver, &upper);
    IoAttachDeviceToDeviceStack(top, bottom);
    upper.dispatch = [bottom](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      return IoCallDriver(bottom, irp);
    };
    // Sized for one device, sent to a stack of two.
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222004, bottom, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    IoCallDriver(top, irp);
  });
  ExpectBugCheck(r, "IofCallDriver", "no stack location left");
}

TEST(Verifier, IrpLeftOverAtShutdown) {
  Machine m;
  auto r = m.k.Run([&] { IoAllocateIrp(2, FALSE); });
  ExpectBugCheck(r, "verifier at shutdown", "IRPs left over at shutdown");
  EXPECT_TRUE(Contains(r.report, "IoAllocateIrp")) << r.report;
}

TEST(Verifier, DeviceObjectLeftOverAtShutdown) {
  Machine m;
  auto r = m.k.Run([&] {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Forgotten");
    PDEVICE_OBJECT device;
    IoCreateDevice(m.io.CreateHostDriver(u"\\Driver\\Leaky"), 0, &name, FILE_DEVICE_UNKNOWN, 0,
                   FALSE, &device);
  });
  ExpectBugCheck(r, "verifier at shutdown", "device objects left over");
  EXPECT_TRUE(Contains(r.report, "\\Device\\Forgotten")) << r.report;
}

TEST(Verifier, SymbolicLinkLeftOverAtShutdown) {
  Machine m;
  auto r = m.k.Run([&] {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Forgotten");
    RtlInitUnicodeString(&target, u"\\Device\\Nothing");
    IoCreateSymbolicLink(&link, &target);
  });
  ExpectBugCheck(r, "verifier at shutdown", "symbolic links left over");
}

TEST(Verifier, TouchingAnIrpAfterItWasFreed) {
  Machine m;
  auto r = m.k.Run([&] {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoCancelIrp(irp);
  });
  ExpectBugCheck(r, "IoCancelIrp", "after it was freed");
}

TEST(Verifier, FreeingAnIrpTwice) {
  Machine m;
  auto r = m.k.Run([&] {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
  });
  ExpectBugCheck(r, "IoFreeIrp", "after it was freed (freed by IoFreeIrp)");
}

TEST(Verifier, WritingAnIrpAfterItWasFreedShowsAtShutdown) {
  Machine m;
  auto r = m.k.Run([&] {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;  // a stale pointer
  });
  ExpectBugCheck(r, "verifier at shutdown", "written after it was freed");
}

TEST(Verifier, DriverAllocatedIrpCompletedToTheTop) {
  auto r = WithDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                      [](Machine&, PDEVICE_OBJECT device) {
                        PIRP irp = IoAllocateIrp(1, FALSE);
                        IoCallDriver(device, irp);
                      });
  ExpectBugCheck(r, "IofCompleteRequest", "reached the top of its stack");
}

TEST(Verifier, FreeingAnIrpTheIoManagerOwns) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        IoFreeIrp(irp);
        return NTSTATUS(STATUS_SUCCESS);
      },
      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IoFreeIrp", "which the I/O manager owns");
}

TEST(Verifier, FreeingAnIrpALowerDriverStillHas) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return NTSTATUS(STATUS_PENDING);
      },
      [](Machine&, PDEVICE_OBJECT device) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoCallDriver(device, irp);
        IoFreeIrp(irp);
      });
  ExpectBugCheck(r, "IoFreeIrp", "while a driver still has it");
}

TEST(Verifier, CancelRoutineThatKeepsTheCancelSpinLock) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        return NTSTATUS(STATUS_PENDING);
      },
      [](Machine&, PDEVICE_OBJECT device) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoCallDriver(device, irp);
        IoCancelIrp(irp);
      });
  ExpectBugCheck(r, "IoCancelIrp", "returned holding the cancel spin lock");
}

TEST(Verifier, DeletingADeviceStillAttached) {
  Machine m;
  auto r = m.k.Run([&] {
    Scripted a, b;
    PDRIVER_OBJECT driver = ScriptedDriver(m.io);
    PDEVICE_OBJECT bottom = CreateScripted(driver, &a);
    PDEVICE_OBJECT top = CreateScripted(driver, &b);
    IoAttachDeviceToDeviceStack(top, bottom);
    IoDeleteDevice(top);
  });
  ExpectBugCheck(r, "IoDeleteDevice", "still attached");
}

TEST(Verifier, OutputLargerThanTheBuffer) {
  Machine m;
  Scripted script{[](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 100); }};
  auto r = m.k.Run([&] {
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    UCHAR out[4];
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x222008, device, nullptr, 0, out, 4, FALSE, &event, &iosb);
    IoCallDriver(device, irp);
  });
  ExpectBugCheck(r, "IofCompleteRequest", "more than its output buffer");
}

TEST(Verifier, IoCallsAtTooHighAnIrql) {
  Machine m;
  auto r = m.k.Run([&] {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PDEVICE_OBJECT device;
    IoCreateDevice(m.io.CreateHostDriver(u"\\Driver\\X"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &device);
  });
  ExpectBugCheck(r, "IoCreateDevice", "called at IRQL 2");
}

TEST(Verifier, MarkingPendingAndReturningAnotherStatus) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return Complete(irp, STATUS_SUCCESS);
      },
      [](Machine&, PDEVICE_OBJECT device) { SendBuilt(device); });
  ExpectBugCheck(r, "IofCallDriver", "pending with IoMarkIrpPending and returned STATUS_SUCCESS");
}

TEST(Verifier, ReturningFromADispatchRoutineOwningAMutex) {
  KMUTEX mutex;
  auto r = WithDevice(
      [&](PDEVICE_OBJECT, PIRP irp) {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        return Complete(irp, STATUS_SUCCESS);
      },
      [&](Machine&, PDEVICE_OBJECT device) {
        KeInitializeMutex(&mutex, 0);
        SendBuilt(device);
      });
  ExpectBugCheck(r, "IofCallDriver", "returned still owning a kernel mutex");
}

TEST(Verifier, ABuiltRequestsEventOnAStackThatHasUnwound) {
  Machine m;
  Scripted lower{[](PDEVICE_OBJECT, PIRP irp) {  // keeps the request
    IoMarkIrpPending(irp);
    return NTSTATUS(STATUS_PENDING);
  }};
  Scripted upper;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT driver = ScriptedDriver(m.io);
    PDEVICE_OBJECT below = CreateScripted(driver, &lower);
    upper.dispatch = [below](PDEVICE_OBJECT, PIRP irp) {
      SendBuilt(below, /*wait=*/false);  // returns with the request still below
      return Complete(irp, STATUS_SUCCESS);
    };
    SendBuilt(CreateScripted(driver, &upper));
  });
  ExpectBugCheck(r, "IofCallDriver", "is still in progress with its event or I/O status block");
}

TEST(Verifier, AThreadEndingWithABuiltRequestsEventOnItsStack) {
  auto r = WithDevice(
      [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return NTSTATUS(STATUS_PENDING);
      },
      [](Machine& m, PDEVICE_OBJECT device) {
        PKTHREAD sender = m.k.Spawn("sender", [device] { SendBuilt(device, /*wait=*/false); });
        KeWaitForSingleObject(sender, Executive, KernelMode, FALSE, nullptr);
      });
  ExpectBugCheck(r, "thread 'sender'", "ended while IRP #1");
}

TEST(Verifier, ACompletionRoutineChangingTheStatusOfARemoval) {
  auto r = WithDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                      [](Machine&, PDEVICE_OBJECT device) {
                        PIRP irp = IoAllocateIrp(1, FALSE);
                        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
                        IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_REMOVE_DEVICE;
                        IoSetCompletionRoutine(
                            irp,
                            [](PDEVICE_OBJECT, PIRP irp, PVOID) {
                              irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                              return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED);
                            },
                            nullptr, TRUE, TRUE, TRUE);
                        IoCallDriver(device, irp);
                      });
  ExpectBugCheck(r, "IofCompleteRequest", "from STATUS_SUCCESS to STATUS_UNSUCCESSFUL");
  EXPECT_TRUE(Contains(r.report, "IRP_MN_REMOVE_DEVICE")) << r.report;
}

TEST(Verifier, CompletingAPowerIrpWithoutPoStartNextPowerIrp) {
  auto r = WithDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                      [](Machine&, PDEVICE_OBJECT device) {
                        POWER_STATE d3{.DeviceState = PowerDeviceD3};
                        PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr);
                      });
  ExpectBugCheck(r, "IofCompleteRequest", "IRP_MN_SET_POWER held at stack location 1");
}

TEST(Verifier, SendingAPowerIrpWithIoCallDriver) {
  auto r = WithDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                      [](Machine&, PDEVICE_OBJECT device) {
                        PIRP irp = IoAllocateIrp(1, FALSE);
                        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
                        IoCallDriver(device, irp);
                      });
  ExpectBugCheck(r, "IofCallDriver", "power IRPs go down with PoCallDriver");
}

// The test driver on the test bus, making one mistake, through its life or a sleep and wake.
RunResult TestDriverWith(BOOLEAN TESTDRV_FAULTS::*fault, bool sleep = false) {
  Machine m;
  TestDriverFaults = {};
  TestDriverFaults.*fault = TRUE;
  auto r = m.k.Run([&] {
    m.pnp.RegisterDriver(u"TESTBUS\\DEVICE",
                         m.io.LoadDriver(u"\\Driver\\TestDrv", TestDriverEntry, u""));
    PDEVICE_OBJECT pdo = m.bus.Plug(TestDevice{});
    if (sleep) m.power.SetSystemPowerState(PowerSystemSleeping3);
    if (sleep) m.power.SetSystemPowerState(PowerSystemWorking);
    m.bus.Unplug(pdo);
  });
  TestDriverFaults = {};
  return r;
}

// The bus completes D0 later, at DISPATCH_LEVEL: a completion routine must not wait.
TEST(Verifier, AD0CompletionRoutineThatWaitsIsNamed) {
  ExpectBugCheck(TestDriverWith(&TESTDRV_FAULTS::WaitInPowerUpCompletion, /*sleep=*/true),
                 "KeDelayExecutionThread", "in completion routine TestDriverPowerUpComplete");
}

TEST(Verifier, AddDeviceLeavingDoDeviceInitializingSet) {
  ExpectBugCheck(TestDriverWith(&TESTDRV_FAULTS::LeaveInitializing), "AddDevice",
                 "left DO_DEVICE_INITIALIZING set");
}

TEST(Verifier, FailingASurpriseRemoval) {
  ExpectBugCheck(TestDriverWith(&TESTDRV_FAULTS::FailSurpriseRemoval), "IofCompleteRequest",
                 "IRP_MN_SURPRISE_REMOVAL must not fail");
}

TEST(Verifier, DetachingDuringSurpriseRemoval) {
  ExpectBugCheck(TestDriverWith(&TESTDRV_FAULTS::DeleteOnSurpriseRemoval), "IoDetachDevice",
                 "during surprise removal");
}

}  // namespace
