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

// Completes Irp with Status and information 0, without priority boost; returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);

// Flush and information requests: nothing to do, success with 0 bytes.
DRIVER_DISPATCH DispatchTrivialSuccess;
// WMI requests belong to the drivers below.
DRIVER_DISPATCH DispatchSystemControl;
// Open, close and cleanup: one handle at a time, on the whole device or on one pipe by name.
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchCleanup;
// Reads and writes, counted in IoCount so that a removal waits for them, and refused with
// STATUS_DELETE_PENDING once the converter is gone.
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
// Plug and Play: start, stop, removal, surprise removal and the capabilities the device reports.
DRIVER_DISPATCH DispatchPnp;
// Power: system requests turned into device requests; the reader powered down and up with it.
DRIVER_DISPATCH DispatchPower;

// The Plug and Play state that lets requests in: TRUE before a surprise removal or a removal.
// Also FALSE once a URB found the converter gone, before Plug and Play has heard of it.
inline BOOLEAN DeviceStillThere(PDEVICE_EXTENSION Extension) {
  return CurrentPnpState(Extension) < PNP_STATE_SURPRISE_REMOVED && !ConverterFoundGone(Extension);
}

// The power path's share of a removal: the reader link's gate opened again if a power-down
// closed it, so that nobody waits for a power-up that will not come. PASSIVE_LEVEL.
NTSTATUS ReleasePowerHold(PDEVICE_OBJECT DeviceObject);
// An open's share: when a wake could not ask for D0, asks for it now and waits for the bus to
// power up, so that the device does not stay down until it is unplugged. PASSIVE_LEVEL.
NTSTATUS PowerUpIfOwed(PDEVICE_OBJECT DeviceObject);
// Ends the power-up thread, if there is one, and waits for it; passes a held system power request
// on. PASSIVE_LEVEL; no power request of the device may be in progress.
NTSTATUS EndPowerPath(PDEVICE_OBJECT DeviceObject);
// The start's share: the reader link's gate closed, and the reader's serial setup and bring-up
// handed to the power-up thread, which opens the gate when they are done (a request meanwhile
// waits at the gate). Without that thread they run here. PASSIVE_LEVEL, LinkMutex held.
NTSTATUS BringUpAfterStart(PDEVICE_OBJECT DeviceObject);

// The end of a device, through the transport's own routines: the reading thread stopped, the
// library binding released, the legacy link or the interface withdrawn, descriptors, interface
// and receive queue freed, the power path ended, the device detached and deleted. PASSIVE_LEVEL;
// nothing may use the device any more.
NTSTATUS TearDownDevice(PDEVICE_OBJECT DeviceObject);
