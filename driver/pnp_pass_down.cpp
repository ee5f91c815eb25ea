// Plug and Play and power requests go on to the bus driver: the device stack needs them there.
// The driver does no start or stop work of its own yet; a removal, once the bus driver has seen
// it, ends the device.
#include "driver/driver.h"

NTSTATUS DispatchPnpPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  BOOLEAN Removal = IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  if (Removal) Extension->DeviceStarted = FALSE;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = IoCallDriver(Extension->LowerDevice, Irp);
  if (Removal) TearDownDevice(DeviceObject);
  return Status;
}

NTSTATUS DispatchPowerPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(DeviceExtensionOf(DeviceObject)->LowerDevice, Irp);
}
