// Power: the driver owns its stack's power policy. A system request becomes a device request (the
// working state D0, any other D3); the system request is held until the device request is done.
// At D3 the device is marked unusable, permanent reading pauses and the reader link is closed to
// its users; at D0, once the bus has powered up, the reader is set up again and the link opened.
//
// Settled where the design leaves it open:
// - The link is kept from its users across the power cycle by its gate, not by holding LinkMutex
//   from the D3 request to the D0 request, which come in different contexts (reader/link_lock.h).
//   Only a power-down that closed the gate has it reopened: a D0 request without a D3 before it,
//   or after D1 or D2, gives nothing back.
// - The D0 request completes as soon as the bus has powered the device up: the state is recorded
//   there and the request goes on, so that neither it nor the system request behind it waits for
//   the reader, which may take long or never answer. The reader is set up behind the closed gate
//   by the device's power-up thread: serial setup, bring-up (the DTR cycle restarts the reader,
//   which then knows nothing of the link's sequence numbers and information field sizes, and has
//   the card unpowered), a pending presence request completed, then the gate opened. Requests
//   meanwhile wait at the gate. The start hands its bring-up to the same thread. The thread is
//   created at the first start or power-down, where waiting is allowed; without it a start brings
//   the reader up itself and a power-up only opens the gate. A bring-up in progress is counted in
//   IoCount, so a removal waits for it.
// - A power-down that comes during a bring-up finds the gate closed already; the bring-up then
//   fails at its next serial request and leaves the gate closed for the power-up that follows.
// - The held system request: the dispatch marks it pending and returns STATUS_PENDING. If
//   PoRequestPowerIrp fails, the system request goes down at once, without a device request.
// - A query for a sleeping state marks the device unusable; when the system then stays in (or
//   returns to) the working state with the device still in D0, it is usable again.
// - IRP_MN_WAIT_WAKE: the driver arms no wake; the request goes to the bus like every other.
// - The card is not powered down before D3: the reader's restart at power-up leaves it unpowered.
#include "driver/driver.h"
#include "driver/system_thread.h"
#include "link/link.h"
#include "reader/link_lock.h"
#include "reader/reader_functions.h"
#include "usb/usb_transport.h"

// A queried power state that takes the device down: S3, S4, S5, or D3 for a device query.
#define QUERIED_STATE_LOWEST_DOWN PowerSystemSleeping3
#define QUERIED_STATE_HIGHEST_DOWN PowerSystemShutdown

// Any IRQL up to DISPATCH_LEVEL.
static void RecordDevicePower(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  SetDevicePowerState(DeviceExtensionOf(DeviceObject), State);
  POWER_STATE Reported;
  Reported.DeviceState = State;
  PoSetPowerState(DeviceObject, DevicePowerState, Reported);
}

static NTSTATUS PassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  NTSTATUS Status = PoCallDriver(DeviceExtensionOf(DeviceObject)->LowerDevice, Irp);
  IoDecrement(DeviceObject);
  return Status;
}

// --- power-up ---

// Serial setup and bring-up behind the closed gate, then the gate opened unless a power-down came
// meanwhile (its power-up runs them again). PASSIVE_LEVEL.
static void BringUpReader(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION SmartcardExtension = &Extension->SmartcardExtension;
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (CurrentPnpState(Extension) == PNP_STATE_STARTED &&
      CurrentDevicePowerState(Extension) != PowerDeviceD3) {
    KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
    LinkSerialSetup(SmartcardExtension);
    LinkBringUp(SmartcardExtension);
    if (ReaderExtension->CardPresentAtPowerDown ||
        SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
      CompleteCardTracking(SmartcardExtension);
    }
    ReaderExtension->CardPresentAtPowerDown = FALSE;
    KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  }
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->BringUpLock, &Irql);
  if (Extension->PowerHoldsLink && !Extension->BringUpWanted &&
      CurrentDevicePowerState(Extension) != PowerDeviceD3) {
    Extension->PowerHoldsLink = FALSE;
    OpenReaderLink(SmartcardExtension);
  }
  KeReleaseSpinLock(&Extension->BringUpLock, Irql);
}

static VOID NTAPI PowerUpThread(PVOID Context) {
  PDEVICE_OBJECT DeviceObject = (PDEVICE_OBJECT)Context;
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  BOOLEAN End = FALSE;
  while (!End) {
    KeWaitForSingleObject(&Extension->PowerUpEvent, Executive, KernelMode, FALSE, NULL);
    KIRQL Irql;
    KeAcquireSpinLock(&Extension->BringUpLock, &Irql);
    BOOLEAN Wanted = Extension->BringUpWanted;
    Extension->BringUpWanted = FALSE;
    End = Extension->PowerThreadEnd;
    KeReleaseSpinLock(&Extension->BringUpLock, Irql);
    if (Wanted) {
      BringUpReader(DeviceObject);
      IoDecrement(DeviceObject);
    }
  }
  // The last act: the removal waits for this event, not for the thread object.
  KeSetEvent(&Extension->PowerThreadEnded, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// At the first start or power-down; the thread lives until the removal. PASSIVE_LEVEL.
static void CreatePowerThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (Extension->PowerThreadRunning) return;
  KeInitializeEvent(&Extension->PowerUpEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Extension->PowerThreadEnded, NotificationEvent, FALSE);
  Extension->PowerThreadEnd = FALSE;
  Extension->BringUpWanted = FALSE;
  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE Handle = NULL;
  if (!NT_SUCCESS(PsCreateSystemThread(&Handle, THREAD_ALL_ACCESS, &Attributes, NULL, NULL,
                                       PowerUpThread, DeviceObject))) {
    return;
  }
  ReferenceSystemThread(Handle, &Extension->PowerThread);
  ZwClose(Handle);
  Extension->PowerThreadRunning = TRUE;
}

// Hands the reader's bring-up to the power-up thread. Any IRQL up to DISPATCH_LEVEL, with
// BringUpLock held.
static void WantBringUpLocked(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (!Extension->BringUpWanted) {
    Extension->BringUpWanted = TRUE;
    IoIncrement(DeviceObject);
  }
  KeSetEvent(&Extension->PowerUpEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS BringUpAfterStart(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION SmartcardExtension = &Extension->SmartcardExtension;
  CreatePowerThread(DeviceObject);
  if (!Extension->PowerThreadRunning) {
    LinkSerialSetup(SmartcardExtension);
    LinkBringUp(SmartcardExtension);
    return STATUS_SUCCESS;
  }
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->BringUpLock, &Irql);
  BOOLEAN Close = !Extension->PowerHoldsLink;
  Extension->PowerHoldsLink = TRUE;
  WantBringUpLocked(DeviceObject);
  KeReleaseSpinLock(&Extension->BringUpLock, Irql);
  // The caller holds LinkMutex (recursive): nobody else is inside the link.
  if (Close) CloseReaderLink(SmartcardExtension);
  return STATUS_SUCCESS;
}

// Completion of a D0 request, at any IRQL up to DISPATCH_LEVEL: the bus has powered up. The
// request goes on at once; the reader follows in the power-up thread.
static NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PDEVICE_OBJECT Device = (PDEVICE_OBJECT)Context;
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(Device);
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->BringUpLock, &Irql);
  SetDevicePowerState(Extension, PowerDeviceD0);
  // Not over a converter found gone meanwhile (DeviceStillThere).
  SetDeviceStarted(Extension, DeviceStillThere(Extension));
  if (Extension->PowerHoldsLink) {
    if (Extension->PowerThreadRunning) {
      WantBringUpLocked(Device);
    } else {
      Extension->PowerHoldsLink = FALSE;
      OpenReaderLink(&Extension->SmartcardExtension);
    }
  }
  KeReleaseSpinLock(&Extension->BringUpLock, Irql);
  RecordDevicePower(Device, PowerDeviceD0);
  // Whatever the lower drivers reported, the device is in D0 now.
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoDecrement(Device);
  return STATUS_SUCCESS;
}

// --- power-down ---

static void PowerDownReader(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION SmartcardExtension = &Extension->SmartcardExtension;
  if (DeviceStillThere(Extension)) CreatePowerThread(DeviceObject);
  // From here every serial request fails at once, so a user of the link lets it go soon; a
  // bring-up in progress leaves the gate closed.
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->BringUpLock, &Irql);
  SetDevicePowerState(Extension, PowerDeviceD3);
  SetDeviceStarted(Extension, FALSE);
  BOOLEAN Close = !Extension->PowerHoldsLink && DeviceStillThere(Extension);
  if (Close) Extension->PowerHoldsLink = TRUE;
  KeReleaseSpinLock(&Extension->BringUpLock, Irql);
  // No IN transfer stays pending across D3, and none starts until D0.
  PauseReading(DeviceObject);
  QueueWakeWaiter(&Extension->ReceiveQueue);
  SmartcardExtension->ReaderExtension->CardPresentAtPowerDown =
      SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
  if (Close) CloseReaderLink(SmartcardExtension);
  RecordDevicePower(DeviceObject, PowerDeviceD3);
}

static NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  switch (State) {
    case PowerDeviceD0:
      // Completed by the power path once the bus has powered up; the count stays until then.
      IoMarkIrpPending(Irp);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, PowerUpComplete, DeviceObject, TRUE, TRUE, TRUE);
      PoStartNextPowerIrp(Irp);
      PoCallDriver(Extension->LowerDevice, Irp);
      return STATUS_PENDING;
    case PowerDeviceD1:
    case PowerDeviceD2:
      RecordDevicePower(DeviceObject, State);
      break;
    case PowerDeviceD3:
      PowerDownReader(DeviceObject);
      break;
    default:
      break;
  }
  return PassPowerDown(DeviceObject, Irp);
}

// --- system requests ---

// The device request asked for a system request has completed: the system request goes on.
static VOID NTAPI SystemPowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PDEVICE_OBJECT Device = (PDEVICE_OBJECT)Context;
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(Device);
  PIRP SystemIrp = Extension->PendingPowerIrp;
  Extension->PendingPowerIrp = NULL;
  if (SystemIrp != NULL) PassPowerDown(Device, SystemIrp);
}

static NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, SYSTEM_POWER_STATE State) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  POWER_STATE Wanted;
  Wanted.DeviceState = State == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  if (Wanted.DeviceState == CurrentDevicePowerState(Extension)) {
    // A sleep that was queried and then not entered leaves the device usable.
    if (Wanted.DeviceState == PowerDeviceD0)
      SetDeviceStarted(Extension, DeviceStillThere(Extension));
    return PassPowerDown(DeviceObject, Irp);
  }
  IoMarkIrpPending(Irp);
  Extension->PendingPowerIrp = Irp;
  NTSTATUS Status = PoRequestPowerIrp(Extension->PhysicalDevice, IRP_MN_SET_POWER, Wanted,
                                      SystemPowerComplete, DeviceObject, NULL);
  if (!NT_SUCCESS(Status)) {
    Extension->PendingPowerIrp = NULL;
    // The system wakes either way; the device, left in D3, is powered up by the next open.
    if (Wanted.DeviceState == PowerDeviceD0) InterlockedExchange(&Extension->PowerUpOwed, 1);
    PassPowerDown(DeviceObject, Irp);
  }
  return STATUS_PENDING;
}

static VOID NTAPI OwedPowerUpComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
}

NTSTATUS PowerUpIfOwed(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (InterlockedExchange(&Extension->PowerUpOwed, 0) == 0) return STATUS_SUCCESS;
  if (CurrentPnpState(Extension) != PNP_STATE_STARTED || !DeviceStillThere(Extension) ||
      CurrentDevicePowerState(Extension) != PowerDeviceD3) {
    return STATUS_SUCCESS;
  }
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  POWER_STATE Wanted;
  Wanted.DeviceState = PowerDeviceD0;
  NTSTATUS Status = PoRequestPowerIrp(Extension->PhysicalDevice, IRP_MN_SET_POWER, Wanted,
                                      OwedPowerUpComplete, &Done, NULL);
  if (!NT_SUCCESS(Status)) {
    // Still owed: the open after this one asks again.
    InterlockedExchange(&Extension->PowerUpOwed, 1);
    return Status;
  }
  KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
  return STATUS_SUCCESS;
}

static BOOLEAN QueriedStateTakesDeviceDown(PIO_STACK_LOCATION Stack) {
  ULONG State = Stack->Parameters.Power.Type == SystemPowerState
                    ? (ULONG)Stack->Parameters.Power.State.SystemState
                    : (ULONG)Stack->Parameters.Power.State.DeviceState;
  return State >= QUERIED_STATE_LOWEST_DOWN && State <= QUERIED_STATE_HIGHEST_DOWN;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  IoIncrement(DeviceObject);
  switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (Stack->Parameters.Power.Type == SystemPowerState) {
        return SetSystemPower(DeviceObject, Irp, Stack->Parameters.Power.State.SystemState);
      }
      return SetDevicePower(DeviceObject, Irp, Stack->Parameters.Power.State.DeviceState);
    case IRP_MN_QUERY_POWER:
      // Never refused; requests are refused from here on, and an owed power-up is off.
      if (QueriedStateTakesDeviceDown(Stack)) {
        SetDeviceStarted(Extension, FALSE);
        InterlockedExchange(&Extension->PowerUpOwed, 0);
      }
      break;
    default:
      break;
  }
  return PassPowerDown(DeviceObject, Irp);
}

NTSTATUS ReleasePowerHold(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->BringUpLock, &Irql);
  if (Extension->PowerHoldsLink) {
    Extension->PowerHoldsLink = FALSE;
    OpenReaderLink(&Extension->SmartcardExtension);
  }
  KeReleaseSpinLock(&Extension->BringUpLock, Irql);
  return STATUS_SUCCESS;
}

NTSTATUS EndPowerPath(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (Extension->PowerThreadRunning) {
    KIRQL Irql;
    KeAcquireSpinLock(&Extension->BringUpLock, &Irql);
    Extension->PowerThreadEnd = TRUE;
    KeReleaseSpinLock(&Extension->BringUpLock, Irql);
    KeSetEvent(&Extension->PowerUpEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&Extension->PowerThreadEnded, Executive, KernelMode, FALSE, NULL);
    ForgetSystemThread(Extension->PowerThread);
    Extension->PowerThread = NULL;
    Extension->PowerThreadRunning = FALSE;
  }
  PIRP SystemIrp = Extension->PendingPowerIrp;
  Extension->PendingPowerIrp = NULL;
  if (SystemIrp != NULL) {
    IoCopyCurrentIrpStackLocationToNext(SystemIrp);
    PoStartNextPowerIrp(SystemIrp);
    PoCallDriver(Extension->LowerDevice, SystemIrp);
  }
  return STATUS_SUCCESS;
}
