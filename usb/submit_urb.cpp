// The one way a URB reaches the converter: an internal device-control request to the bus driver,
// waited for, and cancelled by a watchdog when the converter leaves it pending too long.
//
// The request is the driver's own (IoAllocateIrp): its completion routine only signals the
// submitter and keeps the request (STATUS_MORE_PROCESSING_REQUIRED), and the submitter frees it
// after clearing CurrentUrbIrp under UrbLock. A canceller holding UrbLock therefore always finds
// either no request or one that is still allocated, whether the bus completes a cancelled request
// inside IoCancelIrp or later; and since the completion routine takes no lock, a completion
// inside IoCancelIrp, under UrbLock, cannot deadlock.
#include "driver/pool_tag.h"
#include "usb/usb_transport.h"

#define RESET_PIPE_URB_LENGTH sizeof(struct _URB_PIPE_REQUEST)

typedef struct _URB_SUBMISSION {
  KEVENT Completed;
} URB_SUBMISSION, *PURB_SUBMISSION;

static NTSTATUS NTAPI UrbCompleted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(&((PURB_SUBMISSION)Context)->Completed, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// DISPATCH_LEVEL. Cancels the request it was armed for, if that is still in flight.
static VOID NTAPI WatchdogExpired(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                  PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION Extension = CONTAINING_RECORD(Dpc, DEVICE_EXTENSION, WatchdogDpc);
  KeAcquireSpinLockAtDpcLevel(&Extension->UrbLock);
  if (Extension->CurrentUrbIrp != NULL && Extension->CurrentUrbIrp == (PIRP)DeferredContext) {
    IoCancelIrp(Extension->CurrentUrbIrp);
  }
  KeReleaseSpinLockFromDpcLevel(&Extension->UrbLock);
  KeSetEvent(&Extension->WatchdogIdle, IO_NO_INCREMENT, FALSE);
}

// A transfer the converter answered with a stall leaves its pipe halted, and the bus refuses every
// later transfer on it until the halt is cleared: without a reset the device would stay dead until
// it is plugged in again. The caller holds UsbMutex (a kernel mutex: taken again here at will).
static VOID ResetPipeAfterStall(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  if (Urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return;
  if (Urb->UrbHeader.Status != USBD_STATUS_STALL_PID &&
      Urb->UrbHeader.Status != USBD_STATUS_ENDPOINT_HALTED) {
    return;
  }
  PURB Reset = (PURB)ExAllocatePoolWithTag(NonPagedPool, RESET_PIPE_URB_LENGTH, DRIVER_POOL_TAG);
  if (Reset == NULL) return;  // the next stalled transfer tries again
  RtlZeroMemory(Reset, RESET_PIPE_URB_LENGTH);
  Reset->UrbHeader.Length = (USHORT)RESET_PIPE_URB_LENGTH;
  Reset->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  Reset->UrbPipeRequest.PipeHandle = Urb->UrbBulkOrInterruptTransfer.PipeHandle;
  SubmitUrb(DeviceObject, Reset);
  ExFreePoolWithTag(Reset, DRIVER_POOL_TAG);
}

// The event's state, by a wait that does not block (allowed at DISPATCH_LEVEL): Windows 98/Me
// exports no KeReadStateEvent.
static BOOLEAN EventSignalled(PKEVENT Event) {
  LARGE_INTEGER Now;
  Now.QuadPart = 0;
  return KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &Now) == STATUS_SUCCESS;
}

NTSTATUS SubmitUrbWhileEnabled(PDEVICE_OBJECT DeviceObject, PURB Urb, PKEVENT Enabled) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PIRP Irp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
  if (Irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  URB_SUBMISSION Submission;
  KeInitializeEvent(&Submission.Completed, NotificationEvent, FALSE);
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  Next->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(Irp, UrbCompleted, &Submission, TRUE, TRUE, TRUE);

  KIRQL OldIrql;
  KeAcquireSpinLock(&Extension->UrbLock, &OldIrql);
  // A yielding transfer is also held back while a request has taken the converter from the
  // reading thread (AcquireConverter): its cancel may have come before this transfer was in flight.
  BOOLEAN Wanted =
      Enabled == NULL ||
      (EventSignalled(Enabled) &&
       InterlockedCompareExchange(&Extension->ReaderThreadContext.ConverterWanted, 0, 0) == 0);
  if (Wanted) {
    Extension->CurrentUrbIrp = Irp;
    Extension->CurrentUrbYields = Enabled != NULL;
  }
  KeReleaseSpinLock(&Extension->UrbLock, OldIrql);
  if (!Wanted) {
    IoFreeIrp(Irp);
    Urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    if (Urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    }
    return STATUS_CANCELLED;
  }

  NTSTATUS Status = IoCallDriver(Extension->LowerDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeInitializeTimer(&Extension->WatchdogTimer);
    KeInitializeDpc(&Extension->WatchdogDpc, WatchdogExpired, Irp);
    KeClearEvent(&Extension->WatchdogIdle);
    LARGE_INTEGER DueTime;
    DueTime.QuadPart = -URB_WATCHDOG_100NS;
    KeSetTimer(&Extension->WatchdogTimer, DueTime, &Extension->WatchdogDpc);
    KeWaitForSingleObject(&Submission.Completed, Executive, KernelMode, FALSE, NULL);
    // A timer that is no longer set has fired: its deferred routine is queued or running and
    // must be over before the timer and the routine are armed again.
    if (!KeCancelTimer(&Extension->WatchdogTimer)) {
      KeWaitForSingleObject(&Extension->WatchdogIdle, Executive, KernelMode, FALSE, NULL);
    }
  } else {
    KeWaitForSingleObject(&Submission.Completed, Executive, KernelMode, FALSE, NULL);
  }
  Status = Irp->IoStatus.Status;

  KeAcquireSpinLock(&Extension->UrbLock, &OldIrql);
  Extension->CurrentUrbIrp = NULL;
  KeReleaseSpinLock(&Extension->UrbLock, OldIrql);
  IoFreeIrp(Irp);
  // The converter has left the bus: a later power-up or query must not make the device usable.
  if (Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_DEVICE_REMOVED) {
    SetConverterGone(Extension, TRUE);
  }
  ResetPipeAfterStall(DeviceObject, Urb);
  return Status;
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  return SubmitUrbWhileEnabled(DeviceObject, Urb, NULL);
}

NTSTATUS CancelCurrentUrb(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  KIRQL OldIrql;
  KeAcquireSpinLock(&Extension->UrbLock, &OldIrql);
  // Only a transfer of the reading thread waits for data that may never come; a control request,
  // a selection or a write chunk in flight is left to finish.
  if (Extension->CurrentUrbIrp != NULL && Extension->CurrentUrbYields) {
    IoCancelIrp(Extension->CurrentUrbIrp);
  }
  KeReleaseSpinLock(&Extension->UrbLock, OldIrql);
  return STATUS_SUCCESS;
}
