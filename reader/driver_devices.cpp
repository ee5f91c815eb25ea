// The I/O manager's driver and device objects are not declared to the driver yet, so a device
// sees no siblings: the unit number search then only has the new device to go by, and events are
// logged for the device object itself. These three routines are the whole of that dependence.
#include "reader/driver_devices.h"

PVOID DriverObjectOfDevice(PDEVICE_OBJECT DeviceObject) { return DeviceObject; }

PDEVICE_OBJECT NextDeviceOfDriver(PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return NULL;
}

PSMARTCARD_EXTENSION SmartcardExtensionOfDevice(PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return NULL;
}
