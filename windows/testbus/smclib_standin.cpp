// A logging stand-in for SMCLIB.SYS, for the Wine route before the library's own Windows image
// exists: enough for the reader driver to load, add its device and start (the library's
// extension set up, its buffers and OS data allocated), every request it does not carry
// answered STATUS_NOT_SUPPORTED and logged. scripts/wine.sh uses the library's real image when
// the build has one.
#include "platform/windows/smclib.h"

#define STANDIN_TAG (ULONG('S') | ULONG('I') << 8 | ULONG('7') << 16 | ULONG('Z') << 24)
#define STANDIN_PREFIX "smclib stand-in: "
#define STANDIN_BUFFER_SIZE 288

extern "C" {

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
NTSTATUS NTAPI DllInitialize(PUNICODE_STRING) { return STATUS_SUCCESS; }
NTSTATUS NTAPI DllUnload(VOID) { return STATUS_SUCCESS; }

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION Extension) {
  DbgPrint(STANDIN_PREFIX "SmartcardInitialize\n");
  if (Extension->SmartcardRequest.BufferSize < STANDIN_BUFFER_SIZE)
    Extension->SmartcardRequest.BufferSize = STANDIN_BUFFER_SIZE;
  if (Extension->SmartcardReply.BufferSize < STANDIN_BUFFER_SIZE)
    Extension->SmartcardReply.BufferSize = STANDIN_BUFFER_SIZE;
  Extension->OsData = static_cast<POS_DEP_DATA>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(OS_DEP_DATA), STANDIN_TAG));
  Extension->SmartcardRequest.Buffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPool, Extension->SmartcardRequest.BufferSize, STANDIN_TAG));
  Extension->SmartcardReply.Buffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPool, Extension->SmartcardReply.BufferSize, STANDIN_TAG));
  if (!Extension->OsData || !Extension->SmartcardRequest.Buffer ||
      !Extension->SmartcardReply.Buffer)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Extension->OsData, sizeof(OS_DEP_DATA));
  KeInitializeMutex(&Extension->OsData->Mutex, 0);
  KeInitializeSpinLock(&Extension->OsData->SpinLock);
  KeInitializeEvent(&Extension->OsData->RemoveLock.RemoveEvent, NotificationEvent, FALSE);
  return STATUS_SUCCESS;
}

VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION Extension) {
  DbgPrint(STANDIN_PREFIX "SmartcardExit\n");
  if (Extension->OsData) ExFreePoolWithTag(Extension->OsData, STANDIN_TAG);
  if (Extension->SmartcardRequest.Buffer)
    ExFreePoolWithTag(Extension->SmartcardRequest.Buffer, STANDIN_TAG);
  if (Extension->SmartcardReply.Buffer)
    ExFreePoolWithTag(Extension->SmartcardReply.Buffer, STANDIN_TAG);
  Extension->OsData = NULL;
  Extension->SmartcardRequest.Buffer = NULL;
  Extension->SmartcardReply.Buffer = NULL;
}

NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION, PIRP Irp) {
  DbgPrint(STANDIN_PREFIX "SmartcardDeviceControl %#lx: not carried\n",
           IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode);
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_NOT_SUPPORTED;
}

#define NOT_CARRIED(name)                             \
  NTSTATUS NTAPI name(PSMARTCARD_EXTENSION) {         \
    DbgPrint(STANDIN_PREFIX #name ": not carried\n"); \
    return STATUS_NOT_SUPPORTED;                      \
  }
NOT_CARRIED(SmartcardUpdateCardCapabilities)
NOT_CARRIED(SmartcardRawRequest)
NOT_CARRIED(SmartcardRawReply)
NOT_CARRIED(SmartcardT0Request)
NOT_CARRIED(SmartcardT0Reply)
NOT_CARRIED(SmartcardT1Request)
NOT_CARRIED(SmartcardT1Reply)

VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length) {
  for (ULONG Index = 0; Index < Length; ++Index) {
    UCHAR Byte = static_cast<UCHAR>(~Buffer[Index]);
    UCHAR Reversed = 0;
    for (int Bit = 0; Bit < 8; ++Bit)
      Reversed |= static_cast<UCHAR>(((Byte >> Bit) & 1) << (7 - Bit));
    Buffer[Index] = Reversed;
  }
}

VOID NTAPI SmartcardLogError(PVOID, NTSTATUS ErrorCode, PUNICODE_STRING, ULONG DumpData) {
  DbgPrint(STANDIN_PREFIX "SmartcardLogError %#lx, %lu\n", ErrorCode, DumpData);
}

ULONG DebugLevel;
VOID NTAPI SmartcardSetDebugLevel(ULONG Level) { DebugLevel = Level; }
ULONG NTAPI SmartcardGetDebugLevel(VOID) { return DebugLevel; }

NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName) {
  static WCHAR Name[] = L"\\DosDevices\\SCReader0";
  DbgPrint(STANDIN_PREFIX "SmartcardCreateLink\n");
  for (WCHAR Digit = L'0'; Digit <= L'9'; ++Digit) {
    Name[sizeof(Name) / sizeof(WCHAR) - 2] = Digit;
    UNICODE_STRING Link;
    RtlInitUnicodeString(&Link, Name);
    if (NT_SUCCESS(IoCreateSymbolicLink(&Link, DeviceName))) {
      LinkName->Length = 0;
      return RtlAppendUnicodeStringToString(LinkName, &Link);
    }
  }
  return STATUS_TOO_MANY_NAMES;
}

NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION) { return STATUS_SUCCESS; }
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION, ULONG) {
  return STATUS_SUCCESS;
}
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION) {}
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION, ULONG) {}
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION) {
  DbgPrint(STANDIN_PREFIX "SmartcardReleaseRemoveLockAndWait\n");
}

}  // extern "C"
