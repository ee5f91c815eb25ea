// The receive queue: bytes the permanent reading thread fetched from the IN pipe, waiting for a
// read request, with at most one waiter to wake once enough of them are there.
#pragma once
#include "platform/wdm.h"

#define RECEIVE_QUEUE_SIZE 512

// Linear storage: bytes are appended at WriteOffset and taken at ReadOffset; both go back to 0
// when a take empties the queue, or on reset. Count = WriteOffset - ReadOffset <= Size.
//
// QueueMutex guards every field. It is a kernel mutex taken at PASSIVE_LEVEL only, never held
// together with another driver lock; WaitEvent is signalled while it is held.
typedef struct _RECEIVE_QUEUE {
  PUCHAR Buffer;  // Size bytes of non-paged pool; NULL before QueueInit and after QueueFree
  ULONG Size;
  ULONG ReadOffset;
  ULONG WriteOffset;
  ULONG Count;
  KMUTEX QueueMutex;
  PKEVENT WaitEvent;    // the waiter's own event; the queue does not own it
  ULONG WaitThreshold;  // 0: no waiter; else the Count at which WaitEvent is signalled
} RECEIVE_QUEUE, *PRECEIVE_QUEUE;

// STATUS_INSUFFICIENT_RESOURCES when the storage cannot be allocated: the queue must not be used.
NTSTATUS QueueInit(PRECEIVE_QUEUE Queue, ULONG Size);
NTSTATUS QueueFree(PRECEIVE_QUEUE Queue);
// Empties the queue, zeroes its storage and removes the waiter.
NTSTATUS QueueReset(PRECEIVE_QUEUE Queue);
// Appends the bytes when they fit, else drops them whole; wakes the waiter once Count reaches
// its threshold.
NTSTATUS QueuePut(PRECEIVE_QUEUE Queue, const UCHAR* Bytes, ULONG Length);
// Takes Length bytes from the front; the caller asks for no more than QueueCount.
NTSTATUS QueueGet(PRECEIVE_QUEUE Queue, PUCHAR Destination, ULONG Length);
ULONG QueueCount(PRECEIVE_QUEUE Queue);
// Registers the one waiter (replacing any other); (0, NULL) removes it.
NTSTATUS QueueSetWaiter(PRECEIVE_QUEUE Queue, ULONG Threshold, PKEVENT Event);
// Signals a registered waiter at once, whatever Count is.
NTSTATUS QueueWakeWaiter(PRECEIVE_QUEUE Queue);
