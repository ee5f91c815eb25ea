// Device start: the reader link from power-up to its first card status.
#include "link/link.h"
#include "reader/pass_through.h"
#include "reader/reader_exchange.h"
#include "reader/reader_functions.h"

NTSTATUS LinkBringUpLocked(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (ReaderExtension->LineChangedOutsideLink) {
    ReaderExtension->LineChangedOutsideLink = FALSE;
    NTSTATUS Status = LinkSerialSetup(SmartcardExtension);
    if (Status != STATUS_SUCCESS) return Status;
  }
  NTSTATUS Status = LinkDtrCycle(SmartcardExtension);
  if (Status != STATUS_SUCCESS) return Status;

  Status = T1Resynch(SmartcardExtension);
  if (Status != STATUS_SUCCESS) {
    // A reader that did not answer or was given up gets three more attempts.
    ReaderExtension->LinkState = LINK_STATE_RESYNCH_DUE;
    Status = T1Resynch(SmartcardExtension);
    if (Status != STATUS_SUCCESS) return Status;
  }
  Status = T1SetIfsd(SmartcardExtension, T1_IFS_LARGEST);
  if (Status != STATUS_SUCCESS) return Status;
  T1SetIfsc(SmartcardExtension, T1_IFS_LARGEST);
  Status = QueryCardStatus(SmartcardExtension);
  // The DTR cycle brought the reader back at the default rate.
  if (Status == STATUS_SUCCESS && ReaderExtension->AskedBaudRate != 0) {
    Status = AskBaudRateAgain(SmartcardExtension);
  }
  return Status;
}

NTSTATUS LinkBringUp(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  // The mutex was initialised with the binding and is never initialised again: a start that
  // follows a stop may find the card tracking thread of an open handle holding it or waiting
  // for it, and waits its turn like every other user of the link.
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS Status = LinkBringUpLocked(SmartcardExtension);
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  return ReaderLinkStatus(Status);
}
