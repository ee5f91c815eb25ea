#include "reader/link_lock.h"

#define TICKS_NOT_LIMITED 0

// The gate's state, by a wait that does not block: Windows 98/Me exports no KeReadStateEvent.
static BOOLEAN GateOpen(PREADER_EXTENSION ReaderExtension) {
  LARGE_INTEGER Now;
  Now.QuadPart = 0;
  return KeWaitForSingleObject(&ReaderExtension->LinkGate, Executive, KernelMode, FALSE, &Now) ==
         STATUS_SUCCESS;
}

NTSTATUS AcquireReaderLink(PSMARTCARD_EXTENSION SmartcardExtension, PLARGE_INTEGER Timeout) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  ULONGLONG GiveUp = TICKS_NOT_LIMITED;
  if (Timeout != NULL) GiveUp = KeQueryInterruptTime() + (ULONGLONG)(-Timeout->QuadPart);
  for (;;) {
    LARGE_INTEGER Left;
    PLARGE_INTEGER Wait = NULL;
    if (Timeout != NULL) {
      ULONGLONG Now = KeQueryInterruptTime();
      Left.QuadPart = Now < GiveUp ? -(LONGLONG)(GiveUp - Now) : 0;
      Wait = &Left;
    }
    if (KeWaitForSingleObject(&ReaderExtension->LinkGate, Executive, KernelMode, FALSE, Wait) ==
        STATUS_TIMEOUT) {
      return STATUS_TIMEOUT;
    }
    KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
    // A power-down that closed the gate meanwhile waits for this mutex: it goes first.
    if (GateOpen(ReaderExtension)) return STATUS_SUCCESS;
    KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  }
}

NTSTATUS ReleaseReaderLink(PSMARTCARD_EXTENSION SmartcardExtension) {
  KeReleaseMutex(&SmartcardExtension->ReaderExtension->LinkMutex, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS CloseReaderLink(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeClearEvent(&ReaderExtension->LinkGate);
  // Whoever holds the mutex now finishes its use of the link; whoever takes it after this finds
  // the gate closed and lets it go again.
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS OpenReaderLink(PSMARTCARD_EXTENSION SmartcardExtension) {
  KeSetEvent(&SmartcardExtension->ReaderExtension->LinkGate, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}
