// The private converter interface is not served yet: every private request is refused.
#include "control/private_requests.h"

NTSTATUS PrivateRequestIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Information = 0;
  return STATUS_INVALID_DEVICE_REQUEST;
}
