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
#include "reader/reader_extension.h"
#include "reader/reader_functions.h"

// Relative, in 100-ns units.
#define CARD_TRACKING_PERIOD_100NS 12000000LL

NTSTATUS InitializeCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeInitializeMutex(&ReaderExtension->TrackingMutex, 0);
  ReaderExtension->TrackingStarts = 0;
  ReaderExtension->TrackingThreadHandle = NULL;
  return STATUS_SUCCESS;
}

NTSTATUS StartCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeWaitForSingleObject(&ReaderExtension->TrackingMutex, Executive, KernelMode, FALSE, NULL);
  ++ReaderExtension->TrackingStarts;
  NTSTATUS Status;
  if (ReaderExtension->TrackingThreadHandle != NULL) {
    // A stop always finishes under the mutex, so this thread has not been asked to end: it goes
    // on running for this open too.
    Status = STATUS_DEVICE_BUSY;
  } else {
    KeInitializeEvent(&ReaderExtension->TrackingStoppedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ReaderExtension->TrackingStopEvent, NotificationEvent, FALSE);
    HANDLE Handle = NULL;
    Status = PsCreateSystemThread(&Handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, CardTrackingThread,
                                  SmartcardExtension);
    if (NT_SUCCESS(Status)) ReaderExtension->TrackingThreadHandle = Handle;
  }
  KeReleaseMutex(&ReaderExtension->TrackingMutex, FALSE);
  return Status;
}

// The stopped event is set just before the thread's last steps; the thread object tells when it
// is really gone, and only then is its handle released.
static void ReleaseEndedThread(HANDLE Handle) {
  PVOID Thread = NULL;
  if (NT_SUCCESS(ObReferenceObjectByHandle(Handle, SYNCHRONIZE, NULL, KernelMode, &Thread, NULL))) {
    KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(Thread);
  }
  ZwClose(Handle);
}

NTSTATUS StopCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeWaitForSingleObject(&ReaderExtension->TrackingMutex, Executive, KernelMode, FALSE, NULL);
  if (ReaderExtension->TrackingStarts > 0) --ReaderExtension->TrackingStarts;
  NTSTATUS Status = STATUS_SUCCESS;
  HANDLE Handle = ReaderExtension->TrackingThreadHandle;
  if (ReaderExtension->TrackingStarts == 0 && Handle != NULL) {
    KeSetEvent(&ReaderExtension->TrackingStopEvent, IO_NO_INCREMENT, FALSE);
    Status = KeWaitForSingleObject(&ReaderExtension->TrackingStoppedEvent, Executive, KernelMode,
                                   FALSE, NULL);
    ReleaseEndedThread(Handle);
  }
  KeReleaseMutex(&ReaderExtension->TrackingMutex, FALSE);
  return Status;
}

VOID CardTrackingThread(PVOID Context) {
  PSMARTCARD_EXTENSION SmartcardExtension = (PSMARTCARD_EXTENSION)Context;
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  LARGE_INTEGER Period;
  Period.QuadPart = -CARD_TRACKING_PERIOD_100NS;

  while (KeReadStateEvent(&ReaderExtension->TrackingStopEvent) == 0) {
    KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
    QueryCardStatus(SmartcardExtension);  // a failed query is tried again next period
    KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
    // The sleep ends early when a stop is asked for, so that a close need not wait it out.
    KeWaitForSingleObject(&ReaderExtension->TrackingStopEvent, Executive, KernelMode, FALSE,
                          &Period);
  }

  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  ReaderExtension->TrackingThreadHandle = NULL;
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  KeSetEvent(&ReaderExtension->TrackingStoppedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
