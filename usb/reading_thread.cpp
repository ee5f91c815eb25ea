// Permanent reading: one system thread per device keeps an 8-byte IN transfer outstanding while
// reading is enabled and appends what arrives to the receive queue.
#include "driver/driver_name.h"
#include "driver/pool_tag.h"
#include "usb/usb_transport.h"

#define READING_PRIORITY HIGH_PRIORITY
#define READ_TRANSFER_URB_LENGTH sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
#define READ_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
// After a transfer that failed, the thread waits this long before the next one: a failure that
// comes back at once must not make a thread at the highest priority spin.
#define READ_RETRY_PAUSE_100NS 1000000LL  // 100 ms
// StopReadingThread's grace after the thread's last signal.
#define READING_STOP_GRACE_100NS 5000000LL  // 500 ms

typedef enum _READ_CYCLE {
  ReadCycleNext,    // start the next transfer
  ReadCyclePause,   // wait a little (or for the stop request) first
  ReadCycleGone,    // the converter has left: wait for the stop request
  ReadCycleStopped  // the stop request was seen holding UsbMutex
} READ_CYCLE;

static BOOLEAN EventSignalled(PKEVENT Event) {
  LARGE_INTEGER Now;
  Now.QuadPart = 0;
  return KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &Now) == STATUS_SUCCESS;
}

// Waits for the stop request, for at most Pause when one is given.
static void WaitForStop(PREADER_THREAD_CONTEXT Context, PLARGE_INTEGER Pause) {
  KeWaitForSingleObject(&Context->StopEvent, Executive, KernelMode, FALSE, Pause);
}

// One cycle: wait until reading is enabled, then one IN transfer under UsbMutex. Returns with
// UsbMutex held only for ReadCycleStopped.
static READ_CYCLE ReadOnce(PREADER_THREAD_CONTEXT Context, PURB Urb) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(Context->ReadDevice);
  KeWaitForSingleObject(&Context->ReadEnableEvent, Executive, KernelMode, FALSE, NULL);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  if (EventSignalled(&Context->StopEvent)) return ReadCycleStopped;

  NTSTATUS Status = STATUS_INVALID_HANDLE;
  ULONG Received = 0;
  PPIPE_ENTRY Pipe = Context->ReadPipe;
  if (Pipe != NULL && Pipe->PipeInfo != NULL) {
    RtlZeroMemory(Urb, READ_TRANSFER_URB_LENGTH);
    UsbBuildInterruptOrBulkTransferRequest(Urb, (USHORT)READ_TRANSFER_URB_LENGTH,
                                           Pipe->PipeInfo->PipeHandle, Context->ReadChunk, NULL,
                                           sizeof(Context->ReadChunk), READ_TRANSFER_FLAGS, NULL);
    // A write that disabled reading meanwhile keeps the converter free for itself.
    Status = SubmitUrbWhileEnabled(Context->ReadDevice, Urb, &Context->ReadEnableEvent);
    Received = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  }
  KeReleaseMutex(&Extension->UsbMutex, FALSE);

  switch (Status) {
    case STATUS_SUCCESS:
    case STATUS_CANCELLED:
      if (Received > sizeof(Context->ReadChunk)) Received = sizeof(Context->ReadChunk);
      if (Received != 0) QueuePut(Context->Queue, Context->ReadChunk, Received);
      return ReadCycleNext;
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_REMOVED:
      Extension->DeviceStarted = FALSE;
      return ReadCycleGone;
    default:
      return ReadCyclePause;
  }
}

VOID ZarUSB_ReadUSBThread(PVOID Context) {
  PREADER_THREAD_CONTEXT ReaderContext = (PREADER_THREAD_CONTEXT)Context;
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(ReaderContext->ReadDevice);
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, READ_TRANSFER_URB_LENGTH, DRIVER_POOL_TAG);
  KPRIORITY Previous = KeSetPriorityThread(KeGetCurrentThread(), READING_PRIORITY);
  DbgPrint("'%s: ZarUSB_ReadUSBThread changing priority from %ld to %ld\n", DRIVER_NAME,
           (long)Previous, (long)READING_PRIORITY);

  // Without its URB the thread cannot read: it only waits to be stopped.
  READ_CYCLE Cycle = Urb != NULL ? ReadCycleNext : ReadCycleGone;
  LARGE_INTEGER Pause;
  Pause.QuadPart = -READ_RETRY_PAUSE_100NS;
  while (Cycle != ReadCycleStopped) {
    if (Cycle == ReadCycleGone) {
      WaitForStop(ReaderContext, NULL);
      break;
    }
    if (Cycle == ReadCyclePause) WaitForStop(ReaderContext, &Pause);
    Cycle = ReadOnce(ReaderContext, Urb);
  }
  if (Cycle == ReadCycleStopped) KeReleaseMutex(&Extension->UsbMutex, FALSE);
  if (Urb != NULL) ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
  // A reader still waiting on the queue finds what it holds at once.
  QueueWakeWaiter(ReaderContext->Queue);
  KeSetEvent(&ReaderContext->StoppedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartReadingThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_THREAD_CONTEXT Context = &Extension->ReaderThreadContext;
  if (Extension->ReaderThreadHandle != NULL) return STATUS_UNSUCCESSFUL;
  Context->ReadPipe = Extension->InPipe;
  Context->ReadDevice = DeviceObject;
  // Permanent reading starts disabled; the first read request enables it.
  KeInitializeEvent(&Context->ReadEnableEvent, NotificationEvent, FALSE);
  KeResetEvent(&Context->StopEvent);
  KeResetEvent(&Context->StoppedEvent);
  // A start may come from an application's request: a kernel handle stays out of its table.
  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE Thread;
  NTSTATUS Status =
      PsCreateSystemThread(&Thread, 0, &Attributes, NULL, NULL, ZarUSB_ReadUSBThread, Context);
  // Without the thread, reads take the direct path.
  if (!NT_SUCCESS(Status)) return Status;
  Extension->ReaderThreadHandle = Thread;
  return STATUS_SUCCESS;
}

BOOLEAN StopReadingThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_THREAD_CONTEXT Context = &Extension->ReaderThreadContext;
  if (Extension->ReaderThreadHandle == NULL) return FALSE;
  KeSetEvent(&Context->StopEvent, IO_NO_INCREMENT, FALSE);
  // A thread blocked before its next transfer wakes and sees the stop request; one with a
  // transfer pending sees it when that transfer ends (at the latest at its watchdog).
  KeWaitForSingleObject(&Context->ReaderMutex, Executive, KernelMode, FALSE, NULL);
  KeSetEvent(&Context->ReadEnableEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseMutex(&Context->ReaderMutex, FALSE);
  KeWaitForSingleObject(&Context->StoppedEvent, Executive, KernelMode, FALSE, NULL);
  LARGE_INTEGER Grace;
  Grace.QuadPart = -READING_STOP_GRACE_100NS;
  // The thread runs a few instructions after its last signal (StoppedEvent); a wait on its thread
  // object would crash Windows 98/Me.
  KeDelayExecutionThread(KernelMode, FALSE, &Grace);
  ZwClose(Extension->ReaderThreadHandle);
  Extension->ReaderThreadHandle = NULL;
  return TRUE;
}
