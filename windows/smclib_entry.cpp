// SMCLIB.SYS's entry points: an export driver. The loader calls DllInitialize when a driver that
// imports the library is loaded and DllUnload when the last one is gone; DriverEntry runs only if
// the library is started as a service of its own, which leaves it loaded with nothing to do.
#include "platform/dbg.h"
#include "platform/ntdef.h"
#include "platform/ntstatus.h"
#include "platform/wdm.h"

extern "C" {

NTSTATUS NTAPI DllInitialize(PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI DllUnload(void);

NTSTATUS NTAPI DllInitialize(PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DbgPrint("SMCLIB: loaded\n");
  return STATUS_SUCCESS;
}

// Nothing is held between calls but what each device's extension holds, and every device has
// left (SmartcardExit) before its driver, and so the library, can be unloaded.
NTSTATUS NTAPI DllUnload(void) {
  DbgPrint("SMCLIB: unloaded\n");
  return STATUS_SUCCESS;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(RegistryPath);
  return STATUS_SUCCESS;
}

}  // extern "C"
