// Read requests: served from the receive queue while the permanent reading thread exists, with
// the serial port's time-outs; otherwise by one direct 8-byte IN transfer.
#include "driver/pool_tag.h"
#include "usb/request_parameters.h"
#include "usb/usb_transport.h"

#define TRANSFER_URB_LENGTH sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
#define IN_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
#define TICKS_PER_MILLISECOND 10000ULL

// Waits until the queue holds Wanted bytes, the total time-out (counted from the bytes missing
// at the start) passes, ReadIntervalTimeout ms pass without a byte once one has arrived (0: no
// interval time-out), or something else wakes the reader (the reading thread's end, a
// power-down). Returns the bytes then queued.
static ULONG WaitForBytes(PDEVICE_EXTENSION Extension, ULONG Wanted, ULONG Available) {
  PRECEIVE_QUEUE Queue = &Extension->ReceiveQueue;
  const SERIAL_TIMEOUTS* Timeouts = &Extension->Timeouts;
  ULONG TotalMs = (Wanted - Available) * Timeouts->ReadTotalTimeoutMultiplier +
                  Timeouts->ReadTotalTimeoutConstant;
  ULONGLONG IntervalTicks = Timeouts->ReadIntervalTimeout * TICKS_PER_MILLISECOND;
  ULONGLONG LastArrival = KeQueryInterruptTime();
  ULONGLONG Deadline = LastArrival + TotalMs * TICKS_PER_MILLISECOND;
  BOOLEAN ByteSeen = Available != 0;

  KEVENT Arrived;
  KeInitializeEvent(&Arrived, NotificationEvent, FALSE);
  while (Available < Wanted) {
    ULONGLONG Now = KeQueryInterruptTime();
    ULONGLONG Until = Deadline;
    if (ByteSeen && IntervalTicks != 0 && LastArrival + IntervalTicks < Until) {
      Until = LastArrival + IntervalTicks;
    }
    if (Now >= Until) break;
    // With an interval time-out every arrival counts, so every put wakes the reader.
    ULONG Threshold = IntervalTicks != 0 ? Available + 1 : Wanted;
    KeClearEvent(&Arrived);
    QueueSetWaiter(Queue, Threshold, &Arrived);
    // Bytes that came before the waiter was registered woke nobody.
    ULONG Count = QueueCount(Queue);
    if (Count == Available) {
      LARGE_INTEGER Timeout;
      Timeout.QuadPart = -(LONGLONG)(Until - Now);
      NTSTATUS Woken = KeWaitForSingleObject(&Arrived, Executive, KernelMode, FALSE, &Timeout);
      Count = QueueCount(Queue);
      // Signalled short of the threshold: the reader was woken by something else.
      if (Woken == STATUS_SUCCESS && Count < Threshold) break;
    }
    if (Count > Available) {
      ByteSeen = TRUE;
      LastArrival = KeQueryInterruptTime();
    }
    Available = Count;
  }
  QueueSetWaiter(Queue, 0, NULL);
  return QueueCount(Queue);
}

// Why a read found nothing when the reading thread could fetch nothing more: the converter gone,
// the device being removed, or powered down.
static NTSTATUS NothingToRead(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (CurrentPnpState(Extension) >= PNP_STATE_REMOVED) return STATUS_DELETE_PENDING;
  if (ConverterFoundGone(Extension) || CurrentPnpState(Extension) == PNP_STATE_SURPRISE_REMOVED) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  // Powered down: the thread may not fetch, so the read fails rather than wait for nothing.
  if (CurrentDevicePowerState(Extension) > PowerDeviceD0) return STATUS_DEVICE_DATA_ERROR;
  return STATUS_TIMEOUT;
}

static BOOLEAN CannotFetch(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  return ConverterFoundGone(Extension) || CurrentPnpState(Extension) >= PNP_STATE_SURPRISE_REMOVED;
}

static NTSTATUS QueueRead(PDEVICE_OBJECT DeviceObject, PUCHAR Destination, ULONG Wanted,
                          PULONG Delivered) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  BOOLEAN Enabled = EnableReading(DeviceObject);

  if (Destination == NULL) Wanted = 0;
  ULONG Available = QueueCount(&Extension->ReceiveQueue);
  if (Available < Wanted && Enabled && !CannotFetch(DeviceObject)) {
    Available = WaitForBytes(Extension, Wanted, Available);
  }
  if (Available == 0) return NothingToRead(DeviceObject);
  ULONG Taken = Available < Wanted ? Available : Wanted;
  QueueGet(&Extension->ReceiveQueue, Destination, Taken);
  *Delivered = Taken;
  return STATUS_SUCCESS;
}

static NTSTATUS DirectRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                           PULONG Delivered) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  ULONG Length = Stack->Parameters.Read.Length;
  PUCHAR Destination = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  if (!DeviceIsStarted(Extension)) return STATUS_DEVICE_DATA_ERROR;
  if (!(Irp->Flags & IRP_READ_OPERATION)) return STATUS_INVALID_PARAMETER;
  if (Destination == NULL || Length == 0) return STATUS_SUCCESS;
  if (Length > TRANSFER_CHUNK_SIZE) return STATUS_INVALID_USER_BUFFER;

  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, TRANSFER_URB_LENGTH, DRIVER_POOL_TAG);
  if (Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Urb, TRANSFER_URB_LENGTH);
  UCHAR Chunk[TRANSFER_CHUNK_SIZE] = {0};
  // The pipe is chosen and read only under UsbMutex: a selection replaces it holding it.
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS Status = STATUS_SUCCESS;
  PPIPE_ENTRY Pipe = PipeOfFile(Stack->FileObject);
  if (Pipe == NULL) Pipe = DefaultPipe(Extension, TRUE);
  if (Pipe == NULL || Pipe->PipeInfo == NULL) {
    Status = STATUS_INVALID_HANDLE;
  } else if (Pipe->PipeInfo->PipeType != UsbdPipeTypeInterrupt) {
    Status = STATUS_INVALID_READ_MODE;
  } else {
    UsbBuildInterruptOrBulkTransferRequest(Urb, (USHORT)TRANSFER_URB_LENGTH,
                                           Pipe->PipeInfo->PipeHandle, Chunk, NULL, sizeof(Chunk),
                                           IN_TRANSFER_FLAGS, NULL);
    Status = SubmitUrb(DeviceObject, Urb);
  }
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  if (Status == STATUS_SUCCESS) {
    // The converter is always asked for a whole packet; what the caller has no room for is
    // dropped.
    ULONG Received = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (Received > sizeof(Chunk)) Received = sizeof(Chunk);
    if (Received > Length) Received = Length;
    RtlCopyMemory(Destination, Chunk, Received);
    *Delivered = Received;
  }
  ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
  return Status;
}

NTSTATUS ZarUSBSerConv_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PIO_STACK_LOCATION Stack = TakeRequestParameters(Extension, Irp);
  ULONG Delivered = 0;
  NTSTATUS Status;
  if (Extension->ReaderThreadHandle == NULL) {
    Status = DirectRead(DeviceObject, Irp, Stack, &Delivered);
  } else {
    Status = QueueRead(DeviceObject, (PUCHAR)Irp->AssociatedIrp.SystemBuffer,
                       Stack->Parameters.Read.Length, &Delivered);
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Delivered;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
