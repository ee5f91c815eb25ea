// What the binding needs to know about the driver's other devices, kept apart because it reads
// the I/O manager's driver and device objects.
#pragma once
#include "platform/wdm.h"

// The object events about this device are logged for: its driver object.
PVOID DriverObjectOfDevice(PDEVICE_OBJECT DeviceObject);
// The next device object of the same driver after this one, or null.
PDEVICE_OBJECT NextDeviceOfDriver(PDEVICE_OBJECT DeviceObject);
// The smart card extension at the head of a device's extension.
PSMARTCARD_EXTENSION SmartcardExtensionOfDevice(PDEVICE_OBJECT DeviceObject);
