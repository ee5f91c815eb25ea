// The receive queue between the permanent reading thread and the read dispatch.
#include "usb/receive_queue.h"

#include "driver/pool_tag.h"

static void LockQueue(PRECEIVE_QUEUE Queue) {
  KeWaitForSingleObject(&Queue->QueueMutex, Executive, KernelMode, FALSE, NULL);
}

static void UnlockQueue(PRECEIVE_QUEUE Queue) { KeReleaseMutex(&Queue->QueueMutex, FALSE); }

NTSTATUS QueueInit(PRECEIVE_QUEUE Queue, ULONG Size) {
  KeInitializeMutex(&Queue->QueueMutex, 0);
  Queue->Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, DRIVER_POOL_TAG);
  Queue->Size = Queue->Buffer != NULL ? Size : 0;
  Queue->WaitEvent = NULL;
  Queue->WaitThreshold = 0;
  QueueReset(Queue);
  return Queue->Buffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS QueueFree(PRECEIVE_QUEUE Queue) {
  LockQueue(Queue);
  if (Queue->Buffer != NULL) ExFreePoolWithTag(Queue->Buffer, DRIVER_POOL_TAG);
  Queue->Buffer = NULL;
  Queue->Size = 0;
  Queue->ReadOffset = Queue->WriteOffset = Queue->Count = 0;
  UnlockQueue(Queue);
  return STATUS_SUCCESS;
}

// A purge empties the queue but leaves a waiting reader registered: the bytes that come after it
// still wake that reader, which would otherwise sleep through them to its time-out.
NTSTATUS QueueReset(PRECEIVE_QUEUE Queue) {
  LockQueue(Queue);
  if (Queue->Buffer != NULL) RtlZeroMemory(Queue->Buffer, Queue->Size);
  Queue->ReadOffset = Queue->WriteOffset = Queue->Count = 0;
  UnlockQueue(Queue);
  return STATUS_SUCCESS;
}

NTSTATUS QueuePut(PRECEIVE_QUEUE Queue, const UCHAR* Bytes, ULONG Length) {
  LockQueue(Queue);
  if (Queue->Buffer != NULL && Length <= Queue->Size - Queue->Count) {
    // The bytes fit, but maybe not behind the unread ones: those move to the front first, so
    // that the copy never runs past the end of the storage.
    if (Length > Queue->Size - Queue->WriteOffset) {
      RtlMoveMemory(Queue->Buffer, Queue->Buffer + Queue->ReadOffset, Queue->Count);
      Queue->ReadOffset = 0;
      Queue->WriteOffset = Queue->Count;
    }
    RtlCopyMemory(Queue->Buffer + Queue->WriteOffset, Bytes, Length);
    Queue->WriteOffset += Length;
    Queue->Count += Length;
  }
  // A put that was dropped still wakes a waiter whose threshold is reached.
  if (Queue->WaitThreshold != 0 && Queue->Count >= Queue->WaitThreshold) {
    KeSetEvent(Queue->WaitEvent, IO_NO_INCREMENT, FALSE);
  }
  UnlockQueue(Queue);
  return STATUS_SUCCESS;
}

NTSTATUS QueueGet(PRECEIVE_QUEUE Queue, PUCHAR Destination, ULONG Length) {
  LockQueue(Queue);
  if (Length > Queue->Count) Length = Queue->Count;
  if (Length != 0) RtlCopyMemory(Destination, Queue->Buffer + Queue->ReadOffset, Length);
  Queue->ReadOffset += Length;
  Queue->Count -= Length;
  if (Queue->Count == 0) Queue->ReadOffset = Queue->WriteOffset = 0;
  UnlockQueue(Queue);
  return STATUS_SUCCESS;
}

ULONG QueueCount(PRECEIVE_QUEUE Queue) {
  LockQueue(Queue);
  ULONG Count = Queue->Count;
  UnlockQueue(Queue);
  return Count;
}

NTSTATUS QueueSetWaiter(PRECEIVE_QUEUE Queue, ULONG Threshold, PKEVENT Event) {
  LockQueue(Queue);
  Queue->WaitThreshold = Event != NULL ? Threshold : 0;
  Queue->WaitEvent = Queue->WaitThreshold != 0 ? Event : NULL;
  UnlockQueue(Queue);
  return STATUS_SUCCESS;
}

NTSTATUS QueueWakeWaiter(PRECEIVE_QUEUE Queue) {
  LockQueue(Queue);
  if (Queue->WaitThreshold != 0) KeSetEvent(Queue->WaitEvent, IO_NO_INCREMENT, FALSE);
  UnlockQueue(Queue);
  return STATUS_SUCCESS;
}
