// The dispatch routines that need no state of their own.
#include "driver/driver.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS DispatchTrivialSuccess(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

// Counted like the other requests: a removal detaches from the lower device only after the last
// one has gone down, and one that comes after the removal began is refused.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS Status;
  if (CurrentPnpState(Extension) >= PNP_STATE_REMOVED || Extension->LowerDevice == NULL) {
    Status = CompleteRequest(Irp, STATUS_DELETE_PENDING);
  } else {
    IoSkipCurrentIrpStackLocation(Irp);
    Status = IoCallDriver(Extension->LowerDevice, Irp);
  }
  IoDecrement(DeviceObject);
  return Status;
}
