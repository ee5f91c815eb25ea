// The raw reader command is not served yet: the request is left to the caller, which refuses it.
#include "reader/raw_command.h"

NTSTATUS RawCommandIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PBOOLEAN Handled) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  *Handled = FALSE;
  return STATUS_INVALID_DEVICE_REQUEST;
}
