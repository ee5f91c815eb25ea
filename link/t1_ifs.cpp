// The information field sizes: the host's receive size announced to the reader (IFSD) and the
// size the host sends with (IFSC).
#include "link/link.h"

NTSTATUS T1SetIfsd(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Size) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (ReaderExtension->LinkState == LINK_STATE_GIVEN_UP) return STATUS_INVALID_DEVICE_STATE;
  if (ReaderExtension->LinkState == LINK_STATE_NO_ANSWER) return STATUS_TIMEOUT;

  // A request that goes unanswered is sent again like one answered wrongly: a reader that loses
  // the first characters of a block (its guard time after its own block, noise) stays silent.
  NTSTATUS Status = STATUS_SUCCESS;
  for (ULONG Attempt = 0; Attempt < T1_RESYNCH_ATTEMPTS; ++Attempt) {
    Status = T1SendBlock(SmartcardExtension, T1_NAD_NONE, T1_S_IFS_REQUEST, T1_S_IFS_LENGTH, &Size,
                         ReaderExtension->BlockWaitingTime);
    if (Status != STATUS_SUCCESS) {
      ReaderExtension->LinkState = LINK_STATE_NO_ANSWER;
      return STATUS_TIMEOUT;
    }
    Status = T1ReceiveBlock(SmartcardExtension);
    PUCHAR Block = SmartcardExtension->SmartcardReply.Buffer;
    // The request itself coming back (a line that echoes) is no answer; the reader's may follow.
    if (Status == STATUS_SUCCESS && Block[T1_OFFSET_PCB] == T1_S_IFS_REQUEST) {
      Status = T1ReceiveBlock(SmartcardExtension);
    }
    if (Status == STATUS_SUCCESS && Block[T1_OFFSET_PCB] == T1_S_IFS_RESPONSE &&
        Block[T1_OFFSET_LEN] == T1_S_IFS_LENGTH && Block[T1_OFFSET_INF] == Size) {
      return STATUS_SUCCESS;
    }
  }
  if (Status == STATUS_TIMEOUT) {
    ReaderExtension->LinkState = LINK_STATE_NO_ANSWER;
    return STATUS_TIMEOUT;
  }
  ReaderExtension->LinkState = LINK_STATE_GIVEN_UP;
  return STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS T1SetIfsc(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Size) {
  if (Size < T1_IFS_SMALLEST || Size > T1_IFS_LARGEST) return STATUS_INVALID_PARAMETER;
  SmartcardExtension->ReaderExtension->Ifsc = Size;
  return STATUS_SUCCESS;
}
