// IOCTL_SMARTCARD_IS_PRESENT and IS_ABSENT: answered at once when the card is where the caller
// wants it, otherwise left with the driver in OsData->NotificationIrp until the card moves.
//
// Locks: the I/O cancel spin lock, then OsData->SpinLock (the driver's order). Once the IRP is in
// NotificationIrp the driver's cancel routine or its tracking may complete it at any moment, so it
// is marked pending before it is stored, and from then on only STATUS_PENDING is returned for it:
// what a dispatch routine returns for an IRP it marked pending.
#include "host/smclib/control_request.h"

namespace host::smclib {
namespace {

bool Present(ULONG state) { return state > SCARD_ABSENT; }

enum class Stored { kAlready, kBusy, kCancelled, kStored };

// Under both locks: the condition, a notification pending already, a request cancelled before it
// got here (nobody would cancel it again), or the IRP stored.
Stored StoreNotification(ControlRequest& request, bool want_present) {
  PSMARTCARD_EXTENSION e = request.extension;
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  KIRQL irql;
  KeAcquireSpinLock(&e->OsData->SpinLock, &irql);
  Stored result = Stored::kStored;
  if (Present(e->ReaderCapabilities.CurrentState) == want_present) {
    result = Stored::kAlready;
  } else if (e->OsData->NotificationIrp) {
    result = Stored::kBusy;
  } else if (request.irp->Cancel) {
    result = Stored::kCancelled;
  } else {
    IoMarkIrpPending(request.irp);
    e->OsData->NotificationIrp = request.irp;
  }
  KeReleaseSpinLock(&e->OsData->SpinLock, irql);
  IoReleaseCancelSpinLock(cancel_irql);
  return result;
}

// The IRP back from NotificationIrp, unless the driver or a cancel took it first.
bool TakeBack(ControlRequest& request) {
  PSMARTCARD_EXTENSION e = request.extension;
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  KIRQL irql;
  KeAcquireSpinLock(&e->OsData->SpinLock, &irql);
  bool ours = e->OsData->NotificationIrp == request.irp;
  if (ours) e->OsData->NotificationIrp = nullptr;
  KeReleaseSpinLock(&e->OsData->SpinLock, irql);
  // A cancel routine the driver set must not run once the IRP is completed; a cancel already in
  // progress finds NotificationIrp empty and leaves the IRP to us.
  if (ours) IoSetCancelRoutine(request.irp, nullptr);
  IoReleaseCancelSpinLock(cancel_irql);
  return ours;
}

}  // namespace

NTSTATUS TrackCard(ControlRequest& request) {
  bool want_present = request.code == IOCTL_SMARTCARD_IS_PRESENT;
  PSMARTCARD_EXTENSION e = request.extension;
  // Answered without the driver when nothing needs waiting for.
  if (Present(CurrentCardState(e)) == want_present) return STATUS_SUCCESS;
  if (!e->ReaderFunction[RDF_CARD_TRACKING]) return STATUS_NOT_SUPPORTED;
  switch (StoreNotification(request, want_present)) {
    case Stored::kAlready:
      return STATUS_SUCCESS;
    case Stored::kBusy:
      return STATUS_DEVICE_BUSY;
    case Stored::kCancelled:
      return STATUS_CANCELLED;
    case Stored::kStored:
      break;
  }
  request.handed_off = TRUE;
  request.returned = STATUS_PENDING;
  NTSTATUS status = CallReaderFunction(request, RDF_CARD_TRACKING, 0);
  if (status == STATUS_PENDING) return status;
  if (TakeBack(request)) {
    request.irp->IoStatus.Status = status;
    request.irp->IoStatus.Information = 0;
    IoCompleteRequest(request.irp, IO_NO_INCREMENT);
  }
  return status;
}

}  // namespace host::smclib
