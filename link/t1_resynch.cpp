// S(RESYNCH) exchange: brings the link's sequence numbers back in step with the reader.
#include "link/link.h"
#include "link/serial_request.h"
#include "reader/pass_through.h"

// Up to Attempts requests at the line's present rate.
static NTSTATUS ResynchAttempts(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Attempts) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  for (ULONG Attempt = 0; Attempt < Attempts; ++Attempt) {
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

  NTSTATUS Status = ResynchAttempts(SmartcardExtension, T1_RESYNCH_ATTEMPTS);
  // A reader switched to another rate comes back from a restart of its own (a power dip, its
  // watchdog) at the default rate, and never hears the link at the old one again: the card state
  // would stay stale until a cold reset. Before giving up, the line goes to the default rate and
  // the reader is asked there, once: a restarted reader answers at once, a silent one costs no
  // more than one more block waiting time.
  if (Status == STATUS_INVALID_DEVICE_STATE &&
      ReaderExtension->LinkBaudRate.BaudRate != LINK_DEFAULT_BAUD_RATE) {
    ReaderExtension->LinkBaudRate.BaudRate = LINK_DEFAULT_BAUD_RATE;
    SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;
    if (LinkSerialRequestWithData(SmartcardExtension, IOCTL_SERIAL_SET_BAUD_RATE,
                                  &ReaderExtension->LinkBaudRate,
                                  sizeof(SERIAL_BAUD_RATE)) == STATUS_SUCCESS) {
      Status = ResynchAttempts(SmartcardExtension, 1);
      // Found there: it restarted, and is asked for the chosen rate again as after a bring-up.
      if (Status == STATUS_SUCCESS && ReaderExtension->AskedBaudRate != 0) {
        AskBaudRateAgain(SmartcardExtension);
      }
    } else {
      // The line's rate is not known now: set up whole at the next bring-up.
      ReaderExtension->LineChangedOutsideLink = TRUE;
    }
  }
  return Status;
}
