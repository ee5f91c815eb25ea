// S(RESYNCH) exchange: brings the link's sequence numbers back in step with the reader.
#include "link/link.h"

NTSTATUS T1Resynch(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  // The configuration tool set the converter's line itself, and the reader no longer answers: the
  // link's own settings go back on before the reader is tried again, or it would stay out of
  // reach (and the card state unknown) until the next bring-up. Once only per change.
  if (ReaderExtension->LineChangedOutsideLink) {
    ReaderExtension->LineChangedOutsideLink = FALSE;
    if (LinkSerialSetup(SmartcardExtension) == STATUS_SUCCESS) {
      ReaderExtension->LinkState = LINK_STATE_RESYNCH_DUE;
    }
  }
  if (ReaderExtension->LinkState == LINK_STATE_GIVEN_UP) return STATUS_INVALID_DEVICE_STATE;
  if (ReaderExtension->LinkState == LINK_STATE_NO_ANSWER) return STATUS_TIMEOUT;

  for (ULONG Attempt = 0; Attempt < T1_RESYNCH_ATTEMPTS; ++Attempt) {
    NTSTATUS Status = T1SendBlock(SmartcardExtension, T1_NAD_NONE, T1_S_RESYNCH_REQUEST, 0, NULL,
                                  ReaderExtension->BlockWaitingTime);
    if (Status != STATUS_SUCCESS) {
      ReaderExtension->LinkState = LINK_STATE_NO_ANSWER;
      return STATUS_TIMEOUT;
    }
    Status = T1ReceiveBlock(SmartcardExtension);
    PUCHAR Block = SmartcardExtension->SmartcardReply.Buffer;
    // A line that echoes brings the request itself back first: that is no answer, the reader's
    // may follow it.
    if (Status == STATUS_SUCCESS && Block[T1_OFFSET_PCB] == T1_S_RESYNCH_REQUEST) {
      Status = T1ReceiveBlock(SmartcardExtension);
    }
    if (Status == STATUS_SUCCESS && Block[T1_OFFSET_PCB] == T1_S_RESYNCH_RESPONSE &&
        Block[T1_OFFSET_LEN] == 0) {
      ReaderExtension->Ifsc = T1_IFS_AFTER_RESYNCH;
      ReaderExtension->LinkState = LINK_STATE_IN_STEP;
      ReaderExtension->SequenceBits = 0;
      return STATUS_SUCCESS;
    }
    // The reader may still come back within the remaining attempts.
    if (Status == STATUS_TIMEOUT) ReaderExtension->LinkState = LINK_STATE_NO_ANSWER;
  }
  ReaderExtension->LinkState = LINK_STATE_GIVEN_UP;
  return STATUS_INVALID_DEVICE_STATE;
}
