// A small WDM function driver for testing the I/O manager, written as a driver is: against
// platform/ only, in kernel C++ (it is compiled with the driver's flags).
#pragma once
#include "platform/wdm.h"

#define TESTDRV_TAG 0x76724454  // "TDrv" in memory order

// Requests the test driver serves, all METHOD_BUFFERED.
#define IOCTL_TESTDRV_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Pends until IOCTL_TESTDRV_SIGNAL, a cancel or cleanup.
#define IOCTL_TESTDRV_WAIT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TESTDRV_SIGNAL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Sends the input to the bus as IOCTL_TESTBUS_REQUEST and returns the bus's output.
#define IOCTL_TESTDRV_FORWARD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Returns the file name the handle was opened with.
#define IOCTL_TESTDRV_FILE_NAME \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The internal request the driver sends to the bus below it.
#define IOCTL_TESTBUS_REQUEST CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

// {6F1D3C2A-0B7E-4E55-9A31-5C0D2E8B7F41}
extern const GUID GUID_DEVINTERFACE_TESTDRV;

typedef struct _TESTDRV_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT PhysicalDevice;
  UNICODE_STRING InterfaceName;
  DEVICE_CAPABILITIES Capabilities;
  NTSTATUS CapabilityStatus;
  BOOLEAN Started;
  BOOLEAN Removed;
  LONG DeviceOpen;  // one handle at a time, the driver's own rule
  DEVICE_POWER_STATE DevicePower;
  PIRP PendingSystemPower;
  PIRP WaitIrp;  // guarded by the cancel spin lock
  UCHAR Data[64];
  ULONG DataLength;
} TESTDRV_EXTENSION, *PTESTDRV_EXTENSION;

extern "C" NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
// The completion routine of a D0 device power request (not static: reports name it).
NTSTATUS TestDriverPowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Counters a test reads.
typedef struct _TESTDRV_COUNTS {
  LONG Unloads;
  LONG AddDevices;
  LONG PowerCompletions;
  LONG Creates;                // create requests that reached the driver
  LONG StartsPended;           // starts whose lower drivers returned STATUS_PENDING
  KIRQL PowerUpIrql;           // where the D0 completion routine ran
  PKTHREAD SystemPowerThread;  // where the last system power request arrived
} TESTDRV_COUNTS;
extern TESTDRV_COUNTS TestDriverCounts;

// Mistakes a test asks the driver to make.
typedef struct _TESTDRV_FAULTS {
  BOOLEAN WaitInPowerUpCompletion;  // the D0 completion routine waits
  BOOLEAN LeaveInitializing;        // AddDevice keeps DO_DEVICE_INITIALIZING
  BOOLEAN FailSurpriseRemoval;      // completes it with STATUS_UNSUCCESSFUL
  BOOLEAN DeleteOnSurpriseRemoval;  // detaches and deletes there, not on removal
} TESTDRV_FAULTS;
extern TESTDRV_FAULTS TestDriverFaults;
