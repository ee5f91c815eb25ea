// The driver frame: the driver entry, the dispatch routines it registers, device creation and
// the activity count of a device.
#pragma once
#include "driver/device_extension.h"

// TRUE on a platform without WDM 1.10 (Windows 98/Me): IoIsWdmVersionAvailable(1, 0x10) is
// FALSE. The driver entry evaluates it once into LegacyPlatform; IsLegacyPlatform asks again.
#define WDM_MAJOR_VERSION 1
#define WDM_MINOR_VERSION_1_10 0x10
extern BOOLEAN LegacyPlatform;
BOOLEAN IsLegacyPlatform(void);

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Interlocked changes of IoCount; the decrement to 0 sets RemoveEvent. Both return the new count.
LONG IoIncrement(PDEVICE_OBJECT DeviceObject);
LONG IoDecrement(PDEVICE_OBJECT DeviceObject);

// Flush and information requests: nothing to do, success with 0 bytes.
DRIVER_DISPATCH DispatchTrivialSuccess;
// WMI requests belong to the drivers below.
DRIVER_DISPATCH DispatchSystemControl;
// Create, close, cleanup and device control until their handlers exist: refused as an invalid
// device request.
DRIVER_DISPATCH DispatchNotYetSupported;
// Plug and Play and power until the driver handles them itself: every request goes on to the bus
// driver, as the stack needs; a removal then tears the device down.
DRIVER_DISPATCH DispatchPnpPassDown;
DRIVER_DISPATCH DispatchPowerPassDown;

// The end of a device, through the transport's own routines: the reading thread stopped, the
// library binding released, the legacy link or the interface withdrawn, descriptors, interface
// and receive queue freed, the device detached and deleted. PASSIVE_LEVEL; nothing may use the
// device any more.
NTSTATUS TearDownDevice(PDEVICE_OBJECT DeviceObject);
