// The driver entry: the dispatch table, the unload and AddDevice routines.
#include "control/device_control.h"
#include "driver/driver.h"

#define SMARTCARD_DEBUG_QUIET 0

BOOLEAN LegacyPlatform = FALSE;

BOOLEAN IsLegacyPlatform(void) {
  return !IoIsWdmVersionAvailable(WDM_MAJOR_VERSION, WDM_MINOR_VERSION_1_10);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  LegacyPlatform = IsLegacyPlatform();
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  // Windows 98/Me keep their own answer (an invalid device request) for these.
  if (!LegacyPlatform) {
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchTrivialSuccess;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchTrivialSuccess;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchTrivialSuccess;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  }
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  SmartcardSetDebugLevel(SMARTCARD_DEBUG_QUIET);
  return STATUS_SUCCESS;
}

// Every device released its own state at its removal.
VOID DriverUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }
