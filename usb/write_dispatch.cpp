// Write requests: the data goes to the OUT pipe in chunks of at most 8 bytes, one URB each,
// under UsbMutex for the whole request; with flow control on, the converter's ready bit is
// awaited between chunks.
#include "driver/pool_tag.h"
#include "usb/converter_protocol.h"
#include "usb/request_parameters.h"
#include "usb/usb_transport.h"

#define TRANSFER_URB_LENGTH sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
#define LARGEST_WRITE 0xFFFF
#define FLOW_POLL_PAUSE_100NS 80000LL  // 8 ms
// A converter that does not report ready for this long fails the write: waiting for it is
// bounded like any single request.
#define FLOW_READY_TIMEOUT_100NS URB_WATCHDOG_100NS

// Polls the flow-control port until the converter can take more data. A failing poll ends the
// wait (the next chunk is sent); a converter that stays busy gives STATUS_IO_TIMEOUT.
static NTSTATUS WaitUntilReady(PDEVICE_OBJECT DeviceObject) {
  ULONGLONG GiveUp = KeQueryInterruptTime() + FLOW_READY_TIMEOUT_100NS;
  USHORT Index = 0;
  for (;;) {
    USHORT Value = CONVERTER_PORT_FLOW;
    NTSTATUS Status = ZarUSBSerConv_ReadPort(DeviceObject, CONVERTER_REQUEST_PORT, &Value, &Index);
    if (!NT_SUCCESS(Status)) return STATUS_SUCCESS;
    // Reply byte 2 is the low byte of the second word.
    if (Index & CONVERTER_FLOW_READY_FOR_DATA) return STATUS_SUCCESS;
    if (KeQueryInterruptTime() >= GiveUp) return STATUS_IO_TIMEOUT;
    LARGE_INTEGER Pause;
    Pause.QuadPart = -FLOW_POLL_PAUSE_100NS;
    KeDelayExecutionThread(KernelMode, FALSE, &Pause);
  }
}

static NTSTATUS SendChunks(PDEVICE_OBJECT DeviceObject, PURB Urb, const UCHAR* Data, ULONG Length,
                           PULONG Sent) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  NTSTATUS Status = STATUS_SUCCESS;
  ULONG Remaining = Length;
  while (Remaining != 0) {
    ULONG Chunk = Remaining < TRANSFER_CHUNK_SIZE ? Remaining : TRANSFER_CHUNK_SIZE;
    RtlCopyMemory(Extension->WriteChunk, Data + *Sent, Chunk);
    RtlZeroMemory(Urb, TRANSFER_URB_LENGTH);
    UsbBuildInterruptOrBulkTransferRequest(
        Urb, (USHORT)TRANSFER_URB_LENGTH, Extension->OutPipe->PipeInfo->PipeHandle,
        Extension->WriteChunk, NULL, Chunk, USBD_SHORT_TRANSFER_OK, NULL);
    Status = SubmitUrb(DeviceObject, Urb);
    if (Status != STATUS_SUCCESS) break;
    // A short transfer is no error: the rest goes in the following chunks.
    ULONG Moved = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (Moved > Chunk) Moved = Chunk;
    *Sent += Moved;
    Remaining -= Moved;
    if (Remaining == 0) break;
    if (Extension->FlowControl) {
      Status = WaitUntilReady(DeviceObject);
      if (Status != STATUS_SUCCESS) break;
    }
  }
  return Status;
}

// The caller holds UsbMutex.
static NTSTATUS CheckPipes(PDEVICE_EXTENSION Extension, PIO_STACK_LOCATION Stack) {
  PPIPE_ENTRY Pipe = PipeOfFile(Stack->FileObject);
  if (Pipe == NULL) Pipe = DefaultPipe(Extension, FALSE);
  if (Pipe == NULL || Pipe->PipeInfo == NULL) return STATUS_INVALID_HANDLE;
  if (Pipe->PipeInfo->PipeType != UsbdPipeTypeInterrupt) return STATUS_INVALID_READ_MODE;
  // The chunks always go to OutPipe, which a handle naming a pipe does not set.
  if (Extension->OutPipe == NULL || Extension->OutPipe->PipeInfo == NULL) {
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}

static NTSTATUS Write(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Sent) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PIO_STACK_LOCATION Stack = TakeRequestParameters(Extension, Irp);
  ULONG Length = Stack->Parameters.Write.Length;
  const UCHAR* Data = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
  if (!DeviceIsStarted(Extension)) return STATUS_DEVICE_DATA_ERROR;
  if (Data == NULL || Length == 0) return STATUS_SUCCESS;
  if (Length > LARGEST_WRITE) return STATUS_INVALID_USER_BUFFER;

  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, TRANSFER_URB_LENGTH, DRIVER_POOL_TAG);
  if (Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  // A pending IN transfer of the reading thread gives way at once.
  CancelCurrentUrb(DeviceObject);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  // The pipes are read only under UsbMutex: a selection replaces them holding it.
  NTSTATUS Status = CheckPipes(Extension, Stack);
  if (Status == STATUS_SUCCESS) Status = SendChunks(DeviceObject, Urb, Data, Length, Sent);
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
  return Status;
}

NTSTATUS ZarUSBSerConv_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // Every write ends permanent reading until the next read, even one that fails at once.
  DisableReading(DeviceObject);
  ULONG Sent = 0;
  NTSTATUS Status = Write(DeviceObject, Irp, &Sent);
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Status == STATUS_SUCCESS ? Sent : 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
