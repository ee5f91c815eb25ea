// Open, close and cleanup. One handle at a time, on the whole device or on one pipe chosen by the
// file name ("\PIPE00", "\PIPE01"); an open starts card tracking and holds the smart card
// library's remove lock, its close gives both back.
//
// A close completes its request before it stops card tracking, so the next open may come while
// the close still waits for the tracking thread; card tracking counts its starts and stops (see
// reader/tracking_thread.cpp), so that open keeps a thread running and the close ends only the
// thread it stopped. The close gives the remove lock back as its very last step: a removal waiting
// for it frees the library binding at once, and the close touches nothing of it afterwards. An
// open that cannot take the remove lock (the removal is releasing the binding) is refused with
// STATUS_DELETE_PENDING and leaves the device as it found it.
#include "driver/driver.h"
#include "driver/driver_name.h"
#include "reader/reader_binding.h"
#include "reader/reader_extension.h"
#include "reader/reader_functions.h"
#include "usb/usb_transport.h"

#define DEVICE_CLOSED 0
#define DEVICE_OPENED 1

// The first free pipe whose name begins with the file name's bytes; NULL when none does.
static PPIPE_ENTRY FindPipe(PDEVICE_EXTENSION Extension, PUNICODE_STRING FileName) {
  SIZE_T Length = FileName->Length;
  if (Length > sizeof(Extension->Pipes[0].Name)) return NULL;
  for (ULONG i = 0; i < PIPE_COUNT; ++i) {
    PPIPE_ENTRY Pipe = &Extension->Pipes[i];
    if (Pipe->Opened == 0 && RtlCompareMemory(Pipe->Name, FileName->Buffer, Length) == Length) {
      return Pipe;
    }
  }
  return NULL;
}

static NTSTATUS Open(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PowerUpIfOwed(DeviceObject);
  if (!DeviceIsStarted(Extension) || !DeviceStillThere(Extension)) return STATUS_DELETE_PENDING;
  BOOLEAN WholeDevice = FileObject == NULL || FileObject->FileName.Length == 0;
  PPIPE_ENTRY Pipe = WholeDevice ? NULL : FindPipe(Extension, &FileObject->FileName);
  if (InterlockedCompareExchange((LONG volatile*)&Extension->DeviceOpen, DEVICE_OPENED,
                                 DEVICE_CLOSED) != DEVICE_CLOSED) {
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS Status = STATUS_SUCCESS;
  if (!WholeDevice && Pipe == NULL) Status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(Status) && !NT_SUCCESS(AcquireOpenReference(&Extension->SmartcardExtension))) {
    Status = STATUS_DELETE_PENDING;
  }
  if (!NT_SUCCESS(Status)) {
    InterlockedExchange((LONG volatile*)&Extension->DeviceOpen, DEVICE_CLOSED);
    return Status;
  }
  if (Pipe != NULL) Pipe->Opened = 1;
  if (FileObject != NULL) FileObject->FsContext = Pipe;
  InterlockedExchange(&Extension->SmartcardExtension.ReaderExtension->HandleCleanedUp, 0);
  StartCardTracking(&Extension->SmartcardExtension);
  return STATUS_SUCCESS;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  NTSTATUS Status = Open(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject);
  CompleteRequest(Irp, Status);
  IoDecrement(DeviceObject);
  return Status;
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION SmartcardExtension = &Extension->SmartcardExtension;
  DbgPrint("'%s: entering ZarUSBSerConv_Close\n", DRIVER_NAME);
  IoIncrement(DeviceObject);
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  PPIPE_ENTRY Pipe = FileObject != NULL ? (PPIPE_ENTRY)FileObject->FsContext : NULL;
  if (Pipe != NULL) Pipe->Opened = 0;
  CompleteRequest(Irp, STATUS_SUCCESS);
  if (Extension->CloseStopsReading) {
    DisableReading(DeviceObject);
  }
  // The count belongs to this handle's requests: cleared before the next open may come.
  InterlockedExchange((LONG volatile*)&SmartcardExtension->ReaderExtension->RejectedRequestCount,
                      0);
  InterlockedExchange((LONG volatile*)&Extension->DeviceOpen, DEVICE_CLOSED);
  StopCardTracking(SmartcardExtension);
  IoDecrement(DeviceObject);
  ReleaseOpenReference(SmartcardExtension);
  return STATUS_SUCCESS;
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtensionOf(DeviceObject)->SmartcardExtension;
  // Set before the pending request is taken: one that arrives later is refused, not left pending.
  if (SmartcardExtension->ReaderExtension != NULL) {
    InterlockedExchange(&SmartcardExtension->ReaderExtension->HandleCleanedUp, 1);
  }
  CompleteCardTracking(SmartcardExtension);
  return CompleteRequest(Irp, STATUS_SUCCESS);
}
