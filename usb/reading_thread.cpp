// Permanent reading: one system thread per device keeps an 8-byte IN transfer outstanding while
// reading is enabled and appends what arrives to the receive queue.
#include "driver/driver_name.h"
#include "driver/pool_tag.h"
#include "driver/system_thread.h"
#include "usb/usb_transport.h"

#define READING_PRIORITY HIGH_PRIORITY
#define READ_TRANSFER_URB_LENGTH sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
#define READ_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
// After a transfer that failed, the thread waits this long before the next one: a failure that
// comes back at once must not make a thread at the highest priority spin.
#define READ_RETRY_PAUSE_100NS 1000000LL  // 100 ms
// How often the stop cancels again while it waits for the thread's end.
#define STOP_RECHECK_100NS 100000LL  // 10 ms

typedef enum _READ_CYCLE {
  ReadCycleNext,    // start the next transfer
  ReadCyclePause,   // wait a little (or for the stop request) first
  ReadCycleGone,    // the converter has left: wait for the stop request
  ReadCycleStopped  // the stop request was seen holding UsbMutex
} READ_CYCLE;

static BOOLEAN StopRequested(PREADER_THREAD_CONTEXT Context) {
  return InterlockedCompareExchange(&Context->StopRequested, 0, 0) != 0;
}

// Waits for the stop request, for at most Pause when one is given.
static void WaitForStop(PREADER_THREAD_CONTEXT Context, PLARGE_INTEGER Pause) {
  KeWaitForSingleObject(&Context->StopEvent, Executive, KernelMode, FALSE, Pause);
}

// One cycle: wait until reading is enabled, then one IN transfer under UsbMutex. The stop leaves
// ReadEnableEvent signalled and nobody can reset it from then on (DisableReading), so a wait here
// always ends. Returns with UsbMutex held only for ReadCycleStopped.
static READ_CYCLE ReadOnce(PREADER_THREAD_CONTEXT Context, PURB Urb) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(Context->ReadDevice);
  KeWaitForSingleObject(&Context->ReadEnableEvent, Executive, KernelMode, FALSE, NULL);
  KeWaitForSingleObject(&Context->ConverterFree, Executive, KernelMode, FALSE, NULL);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  if (StopRequested(Context)) return ReadCycleStopped;

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
      SetDeviceStarted(Extension, FALSE);
      // A reader waiting on the queue learns it now, not at its time-out.
      QueueWakeWaiter(Context->Queue);
      return ReadCycleGone;
    default:
      return ReadCyclePause;
  }
}

VOID ZarUSB_ReadUSBThread(PVOID Context) {
  PREADER_THREAD_CONTEXT ReaderContext = (PREADER_THREAD_CONTEXT)Context;
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(ReaderContext->ReadDevice);
  PURB Urb = ReaderContext->ReadUrb;
  KPRIORITY Previous = KeSetPriorityThread(KeGetCurrentThread(), READING_PRIORITY);
  DbgPrint("'%s: ZarUSB_ReadUSBThread changing priority from %ld to %ld\n", DRIVER_NAME,
           (long)Previous, (long)READING_PRIORITY);

  READ_CYCLE Cycle = ReadCycleNext;
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
  ReaderContext->ReadUrb = NULL;
  ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
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
  InterlockedExchange(&Context->StopRequested, FALSE);
  // The URB is taken here rather than by the thread: a thread without one would leave the
  // device with a reading thread that never reads, and every read waiting on an empty queue.
  // Without it no thread is made, and reads take the direct path as after a failed creation.
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, READ_TRANSFER_URB_LENGTH, DRIVER_POOL_TAG);
  if (Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  Context->ReadUrb = Urb;
  // A start may come from an application's request: a kernel handle stays out of its table.
  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE Thread;
  NTSTATUS Status = PsCreateSystemThread(&Thread, THREAD_ALL_ACCESS, &Attributes, NULL, NULL,
                                         ZarUSB_ReadUSBThread, Context);
  // Without the thread, reads take the direct path.
  if (!NT_SUCCESS(Status)) {
    Context->ReadUrb = NULL;
    ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
    return Status;
  }
  ReferenceSystemThread(Thread, &Extension->ReaderThread);
  Extension->ReaderThreadHandle = Thread;
  return STATUS_SUCCESS;
}

// The end is awaited on the event the thread sets as its last act, never on the thread object
// (Windows 98/Me cannot wait on one). The transfer in flight is cancelled rather than waited for,
// so that the stop takes no longer than the thread needs to see it.
BOOLEAN StopReadingThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_THREAD_CONTEXT Context = &Extension->ReaderThreadContext;
  if (Extension->ReaderThreadHandle == NULL) return FALSE;
  // From here no writer, close or power-down resets ReadEnableEvent: a thread blocked before its
  // next transfer wakes and sees the stop request.
  KeWaitForSingleObject(&Context->ReaderMutex, Executive, KernelMode, FALSE, NULL);
  InterlockedExchange(&Context->StopRequested, TRUE);
  KeSetEvent(&Context->ReadEnableEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseMutex(&Context->ReaderMutex, FALSE);
  KeSetEvent(&Context->StopEvent, IO_NO_INCREMENT, FALSE);
  // A transfer the thread sends just after its last look at the stop request is not in flight
  // yet when a cancel comes: the cancel is repeated until the thread has ended.
  LARGE_INTEGER Recheck;
  Recheck.QuadPart = -STOP_RECHECK_100NS;
  do {
    CancelCurrentUrb(DeviceObject);
  } while (KeWaitForSingleObject(&Context->StoppedEvent, Executive, KernelMode, FALSE, &Recheck) !=
           STATUS_SUCCESS);
  ForgetSystemThread(Extension->ReaderThread);
  Extension->ReaderThread = NULL;
  ZwClose(Extension->ReaderThreadHandle);
  Extension->ReaderThreadHandle = NULL;
  return TRUE;
}

BOOLEAN EnableReading(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_THREAD_CONTEXT Context = &Extension->ReaderThreadContext;
  KeWaitForSingleObject(&Context->ReaderMutex, Executive, KernelMode, FALSE, NULL);
  BOOLEAN Enabled = !StopRequested(Context) && CurrentDevicePowerState(Extension) <= PowerDeviceD0;
  if (Enabled) KeSetEvent(&Context->ReadEnableEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseMutex(&Context->ReaderMutex, FALSE);
  return Enabled;
}

NTSTATUS DisableReading(PDEVICE_OBJECT DeviceObject) {
  PREADER_THREAD_CONTEXT Context = &DeviceExtensionOf(DeviceObject)->ReaderThreadContext;
  KeWaitForSingleObject(&Context->ReaderMutex, Executive, KernelMode, FALSE, NULL);
  if (!StopRequested(Context)) KeResetEvent(&Context->ReadEnableEvent);
  KeReleaseMutex(&Context->ReaderMutex, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS PauseReading(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  DisableReading(DeviceObject);
  CancelCurrentUrb(DeviceObject);
  // The thread holds UsbMutex around each transfer: once it is ours, none is in flight.
  if (Extension->ReaderThreadHandle != NULL) {
    KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
    KeReleaseMutex(&Extension->UsbMutex, FALSE);
  }
  return STATUS_SUCCESS;
}

NTSTATUS AcquireConverter(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_THREAD_CONTEXT Context = &Extension->ReaderThreadContext;
  KeWaitForSingleObject(&Context->ReaderMutex, Executive, KernelMode, FALSE, NULL);
  if (InterlockedIncrement(&Context->ConverterWanted) == 1) KeResetEvent(&Context->ConverterFree);
  KeReleaseMutex(&Context->ReaderMutex, FALSE);
  CancelCurrentUrb(DeviceObject);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  return STATUS_SUCCESS;
}

NTSTATUS ReleaseConverter(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_THREAD_CONTEXT Context = &Extension->ReaderThreadContext;
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  KeWaitForSingleObject(&Context->ReaderMutex, Executive, KernelMode, FALSE, NULL);
  if (InterlockedDecrement(&Context->ConverterWanted) == 0) {
    KeSetEvent(&Context->ConverterFree, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseMutex(&Context->ReaderMutex, FALSE);
  return STATUS_SUCCESS;
}
