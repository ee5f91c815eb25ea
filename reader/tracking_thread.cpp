// The card tracking thread: while the device is open it asks the reader for the card status every
// 1.2 seconds, so that presence changes reach the library's pending request.
//
// Opens and closes overlap: a close completes its request before it stops tracking, so the next
// open may start tracking while that close still waits for the thread to end, or even before the
// close has asked it to. Starts and stops therefore run one at a time under TrackingMutex, and they
// are counted: a stop ends the thread only when it matches the last start outstanding, and it
// returns only after the thread has ended. A start that arrives during that stop waits for it and
// then starts a new thread; a start that comes first keeps the running thread, and the close's
// stop then leaves it running for the new open. No stop is lost and no close waits for a thread
// that goes on running.
#include "reader/link_lock.h"
#include "reader/reader_extension.h"
#include "reader/reader_functions.h"

// Relative, in 100-ns units.
#define CARD_TRACKING_PERIOD_100NS 12000000LL

static PKTHREAD TrackingThreadOf(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL Irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  PKTHREAD Thread = SmartcardExtension->ReaderExtension->TrackingThread;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
  return Thread;
}

static void SetTrackingThread(PSMARTCARD_EXTENSION SmartcardExtension, PKTHREAD Thread) {
  KIRQL Irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  SmartcardExtension->ReaderExtension->TrackingThread = Thread;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
}

NTSTATUS InitializeCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeInitializeMutex(&ReaderExtension->TrackingMutex, 0);
  ReaderExtension->TrackingStarts = 0;  // TrackingThread is null in the zeroed block
  return STATUS_SUCCESS;
}

// The open runs in the application's context: a plain handle would land in the application's
// handle table. The thread is kept by its object; the kernel handle is closed right here.
static NTSTATUS CreateTrackingThread(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeInitializeEvent(&ReaderExtension->TrackingStoppedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&ReaderExtension->TrackingStopEvent, NotificationEvent, FALSE);
  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE Handle = NULL;
  NTSTATUS Status = PsCreateSystemThread(&Handle, THREAD_ALL_ACCESS, &Attributes, NULL, NULL,
                                         CardTrackingThread, SmartcardExtension);
  if (!NT_SUCCESS(Status)) return Status;
  PVOID Thread = NULL;
  // No object type: the handle is the thread's own, just made, and a kernel-mode reference needs
  // none. The x64 image read *PsThreadType one indirection too deep (the DDK headers declare the
  // exported variable dllimport and one pointer level above what the kernel exports), and so
  // passed the thread type's first field: the reference failed as a type mismatch, or worse, and
  // no handle could be opened.
  Status = ObReferenceObjectByHandle(Handle, SYNCHRONIZE, NULL, KernelMode, &Thread, NULL);
  if (!NT_SUCCESS(Status)) {
    // Without its object the thread could not be waited for later: end it now.
    KeSetEvent(&ReaderExtension->TrackingStopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&ReaderExtension->TrackingStoppedEvent, Executive, KernelMode, FALSE,
                          NULL);
  }
  ZwClose(Handle);
  if (NT_SUCCESS(Status)) SetTrackingThread(SmartcardExtension, (PKTHREAD)Thread);
  return Status;
}

NTSTATUS StartCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeWaitForSingleObject(&ReaderExtension->TrackingMutex, Executive, KernelMode, FALSE, NULL);
  ++ReaderExtension->TrackingStarts;
  NTSTATUS Status;
  if (TrackingThreadOf(SmartcardExtension) != NULL) {
    // A stop always finishes under the mutex, so this thread has not been asked to end: it goes
    // on running for this open too.
    Status = STATUS_DEVICE_BUSY;
  } else {
    Status = CreateTrackingThread(SmartcardExtension);
  }
  KeReleaseMutex(&ReaderExtension->TrackingMutex, FALSE);
  return Status;
}

NTSTATUS StopCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeWaitForSingleObject(&ReaderExtension->TrackingMutex, Executive, KernelMode, FALSE, NULL);
  if (ReaderExtension->TrackingStarts > 0) --ReaderExtension->TrackingStarts;
  NTSTATUS Status = STATUS_SUCCESS;
  PKTHREAD Thread = TrackingThreadOf(SmartcardExtension);
  if (ReaderExtension->TrackingStarts == 0 && Thread != NULL) {
    KeSetEvent(&ReaderExtension->TrackingStopEvent, IO_NO_INCREMENT, FALSE);
    // The thread's last act; a wait on the thread object would crash Windows 98/Me.
    Status = KeWaitForSingleObject(&ReaderExtension->TrackingStoppedEvent, Executive, KernelMode,
                                   FALSE, NULL);
    SetTrackingThread(SmartcardExtension, NULL);
    ObDereferenceObject(Thread);
  }
  KeReleaseMutex(&ReaderExtension->TrackingMutex, FALSE);
  return Status;
}

// By a wait that does not block: Windows 98/Me exports no KeReadStateEvent.
static BOOLEAN StopAsked(PREADER_EXTENSION ReaderExtension) {
  LARGE_INTEGER Now;
  Now.QuadPart = 0;
  return KeWaitForSingleObject(&ReaderExtension->TrackingStopEvent, Executive, KernelMode, FALSE,
                               &Now) == STATUS_SUCCESS;
}

VOID CardTrackingThread(PVOID Context) {
  PAGED_CODE();
  PSMARTCARD_EXTENSION SmartcardExtension = (PSMARTCARD_EXTENSION)Context;
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  LARGE_INTEGER Period;
  Period.QuadPart = -CARD_TRACKING_PERIOD_100NS;

  while (!StopAsked(ReaderExtension)) {
    // While the device is powered down the link stays closed; the stop request is looked at
    // again at least once a period meanwhile.
    LARGE_INTEGER GateWait = Period;
    if (AcquireReaderLink(SmartcardExtension, &GateWait) != STATUS_SUCCESS) continue;
    QueryCardStatus(SmartcardExtension);  // a failed query is tried again next period
    ReleaseReaderLink(SmartcardExtension);
    // The sleep ends early when a stop is asked for, so that a close need not wait it out.
    KeWaitForSingleObject(&ReaderExtension->TrackingStopEvent, Executive, KernelMode, FALSE,
                          &Period);
  }

  // The last act: the stop waits for this event, then clears TrackingThread.
  KeSetEvent(&ReaderExtension->TrackingStoppedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
