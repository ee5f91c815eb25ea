// The library's pending presence or absence request: guarded by a cancel routine while it waits,
// completed on the first presence change, on cancel, at cleanup, removal and power-up.
//
// Locks: the I/O cancel spin lock is always taken before OsData->SpinLock; both are held only for
// the hand-over of OsData->NotificationIrp, and the request is completed after both are released.
#include "reader/reader_extension.h"
#include "reader/reader_functions.h"

NTSTATUS CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->OsData == NULL) return STATUS_SUCCESS;
  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  KIRQL Irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  PIRP Irp = SmartcardExtension->OsData->NotificationIrp;
  SmartcardExtension->OsData->NotificationIrp = NULL;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  if (Irp != NULL) IoSetCancelRoutine(Irp, NULL);
  IoReleaseCancelSpinLock(CancelIrql);

  if (Irp != NULL) {
    Irp->IoStatus.Status = Irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  NTSTATUS Status = STATUS_PENDING;
  if (ReaderExtension->RejectedRequestCount != 0) Status = STATUS_INVALID_DEVICE_STATE;

  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  KIRQL Irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  // Without the tracking thread nothing would ever complete the request.
  if (ReaderExtension->TrackingThread == NULL) Status = STATUS_INVALID_DEVICE_STATE;
  PIRP Irp = SmartcardExtension->OsData->NotificationIrp;
  if (Status == STATUS_PENDING && Irp != NULL &&
      InterlockedCompareExchange(&ReaderExtension->HandleCleanedUp, 0, 0) != 0) {
    Status = STATUS_CANCELLED;
  } else if (Status == STATUS_PENDING && Irp != NULL) {
    IoSetCancelRoutine(Irp, CancelCardTracking);
    // A cancel that came before the routine was in place found nothing to call; honour it now,
    // or the request would wait for the next presence change. The library completes requests
    // the reader function does not leave pending.
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) Status = STATUS_CANCELLED;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  IoReleaseCancelSpinLock(CancelIrql);
  return Status;
}

VOID CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSMARTCARD_EXTENSION SmartcardExtension = (PSMARTCARD_EXTENSION)DeviceObject->DeviceExtension;
  // Taken back while the cancel spin lock is still held, so no other path completes it in between;
  // a request the library has already taken back itself is not this routine's to complete.
  KIRQL Irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  BOOLEAN Pending = SmartcardExtension->OsData->NotificationIrp == Irp;
  if (Pending) SmartcardExtension->OsData->NotificationIrp = NULL;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  IoReleaseCancelSpinLock(Irp->CancelIrql);

  if (Pending) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }
}
