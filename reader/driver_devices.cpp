// The binding reads the I/O manager's driver and device objects only here.
#include "reader/driver_devices.h"

PVOID DriverObjectOfDevice(PDEVICE_OBJECT DeviceObject) {
  // A binding made without a device (link tests) logs its events for no object.
  return DeviceObject != NULL ? (PVOID)DeviceObject->DriverObject : NULL;
}

PDEVICE_OBJECT NextDeviceOfDriver(PDEVICE_OBJECT DeviceObject) {
  return DeviceObject != NULL ? DeviceObject->NextDevice : NULL;
}

// Every device object of this driver carries the smart card extension at the head of its
// extension.
PSMARTCARD_EXTENSION SmartcardExtensionOfDevice(PDEVICE_OBJECT DeviceObject) {
  return DeviceObject != NULL ? (PSMARTCARD_EXTENSION)DeviceObject->DeviceExtension : NULL;
}
