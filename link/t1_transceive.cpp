// The block exchange engine: one command to the reader or the card, the whole answer back.
#include "link/link.h"

// Bytes of a failed read kept to be compared with the block that follows it, and how many of them
// have to match that block's start, some places late.
#define T1_STRAY_COMPARED 12
#define T1_STRAY_MATCHED T1_PROLOGUE_LENGTH

// Where one exchange stands.
typedef struct _T1_EXCHANGE {
  PSMARTCARD_EXTENSION SmartcardExtension;
  PREADER_EXTENSION ReaderExtension;
  PUCHAR Dad;
  PUCHAR Sad;
  const UCHAR* Command;
  ULONG CommandLength;
  PUCHAR Reply;
  ULONG ReplyCapacity;
  ULONG BlockStart;  // offset of the command block in flight
  // While sending: offset just past the command block in flight. While answering: reply bytes
  // stored so far.
  ULONG Position;
  // The reader's first I-block has acknowledged the host's last block; from here on the reader
  // is sending and Position counts the reply.
  BOOLEAN Answering;
  BOOLEAN AbortedByReader;
  ULONG RetriesLeft;
  ULONG ResendsLeft;    // reader's requests for the block in flight, before giving up
  ULONG SRequestsLeft;  // reader's S-requests in a row, before giving up
  UCHAR RCode;          // R-block code step E sends
  NTSTATUS LastReceiveStatus;
  UCHAR Destination;  // the node the command goes to
  UCHAR AnswerNad;    // NAD of the answer's first I-block; the rest of its chain repeats it
  BOOLEAN AnswerNadKnown;
  BOOLEAN ChainAcknowledged;  // the last block sent acknowledged a block of the reader's chain
  // The start of a read that failed right after an acknowledgement, until the next good block.
  UCHAR FailedRead[T1_STRAY_COMPARED];
  ULONG FailedReadLength;
} T1_EXCHANGE, *PT1_EXCHANGE;

typedef enum _T1_STEP { T1StepSend, T1StepReceive, T1StepError, T1StepDone } T1_STEP;

static BOOLEAN SequenceBit(PREADER_EXTENSION ReaderExtension, ULONG Bit) {
  return (ReaderExtension->SequenceBits & Bit) != 0;
}

static void ToggleSequenceBit(PREADER_EXTENSION ReaderExtension, ULONG Bit) {
  ReaderExtension->SequenceBits ^= Bit;
}

// An Ifsc of 0 (a link never resynchronised) would send empty chained blocks forever; such a
// link sends with the size every T=1 node starts with instead.
static ULONG SendSize(PREADER_EXTENSION ReaderExtension) {
  return ReaderExtension->Ifsc != 0 ? ReaderExtension->Ifsc : T1_IFS_AFTER_RESYNCH;
}

static void MadeProgress(PT1_EXCHANGE X) {
  X->RetriesLeft = T1_ERROR_RETRIES;
  X->ResendsLeft = T1_RESEND_REQUESTS;
  X->SRequestsLeft = T1_S_REQUESTS_IN_A_ROW;
}

static T1_STEP Fail(PT1_EXCHANGE X, ULONG LinkState, NTSTATUS Status, NTSTATUS* Result) {
  X->ReaderExtension->LinkState = LinkState;
  *Result = Status;
  return T1StepDone;
}

static T1_STEP SendNextIBlock(PT1_EXCHANGE X, NTSTATUS* Result) {
  PREADER_EXTENSION ReaderExtension = X->ReaderExtension;
  UCHAR Nad = (UCHAR)(((*X->Dad & T1_NAD_ADDRESS_MASK) << T1_NAD_DAD_SHIFT) |
                      (*X->Sad & T1_NAD_ADDRESS_MASK));
  UCHAR Pcb = SequenceBit(ReaderExtension, SEQUENCE_BIT_SEND) ? T1_PCB_I_SEQUENCE : 0;
  ULONG Remaining = X->CommandLength - X->BlockStart;
  ULONG Len = Remaining;
  if (Remaining > SendSize(ReaderExtension)) {
    Pcb |= T1_PCB_I_MORE;
    Len = SendSize(ReaderExtension);
  }
  X->Position = X->BlockStart + Len;
  NTSTATUS Status = T1SendBlock(X->SmartcardExtension, Nad, Pcb, (UCHAR)Len,
                                X->Command + X->BlockStart, ReaderExtension->BlockWaitingTime);
  if (Status != STATUS_SUCCESS) return Fail(X, LINK_STATE_NO_ANSWER, STATUS_TIMEOUT, Result);
  ToggleSequenceBit(ReaderExtension, SEQUENCE_BIT_SEND);
  return T1StepReceive;
}

// R- and S-blocks go out in reply to what the reader sent in this exchange: a failed send (the
// converter refused the write) ends the exchange, but the reader was answering and is left in
// the middle of it. The next exchange resynchronises first rather than treating the reader as
// silent and sending it a new command it cannot take.
static T1_STEP SendControlBlock(PT1_EXCHANGE X, UCHAR Pcb, UCHAR Len, const UCHAR* Inf,
                                ULONG WaitingTime, NTSTATUS* Result) {
  // After a block of the reader's chain that was checked and found good, nothing is purged: a
  // character that came in since then belongs to that block and is kept to be found in front of
  // the reader's next one (FailedReadHeldThisBlockLate).
  NTSTATUS Status =
      X->ChainAcknowledged
          ? T1SendBlockKeepingInput(X->SmartcardExtension, T1_NAD_NONE, Pcb, Len, Inf, WaitingTime)
          : T1SendBlock(X->SmartcardExtension, T1_NAD_NONE, Pcb, Len, Inf, WaitingTime);
  if (Status != STATUS_SUCCESS) return Fail(X, LINK_STATE_RESYNCH_DUE, STATUS_TIMEOUT, Result);
  return T1StepReceive;
}

// The reader's answer does not fit: ask it to abort its chain.
static NTSTATUS AbortAnswer(PT1_EXCHANGE X) {
  PREADER_EXTENSION ReaderExtension = X->ReaderExtension;
  ULONG AbortsLeft = T1_ERROR_RETRIES;
  for (;;) {
    T1SendBlock(X->SmartcardExtension, T1_NAD_NONE, T1_S_ABORT_REQUEST, 0, NULL,
                ReaderExtension->BlockWaitingTime);
    NTSTATUS Status = T1ReceiveBlock(X->SmartcardExtension);
    if (Status == STATUS_TIMEOUT) {
      ReaderExtension->LinkState = LINK_STATE_NO_ANSWER;
      return STATUS_TIMEOUT;
    }
    // Even a damaged answer counts when its PCB and LEN read as the abort response: the
    // exchange fails either way.
    PUCHAR Block = X->SmartcardExtension->SmartcardReply.Buffer;
    if (Block[T1_OFFSET_PCB] == T1_S_ABORT_RESPONSE && Block[T1_OFFSET_LEN] == 0) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    if (--AbortsLeft == 0) {
      ReaderExtension->LinkState = LINK_STATE_RESYNCH_DUE;
      return STATUS_DEVICE_PROTOCOL_ERROR;
    }
  }
}

// An answer comes to the host, from the node addressed or from the reader speaking for it.
static BOOLEAN AddressedToHost(PT1_EXCHANGE X, UCHAR Nad) {
  UCHAR Dad = (UCHAR)((Nad >> T1_NAD_DAD_SHIFT) & T1_NAD_ADDRESS_MASK);
  UCHAR Sad = (UCHAR)(Nad & T1_NAD_ADDRESS_MASK);
  if ((Nad & ~(UCHAR)((T1_NAD_ADDRESS_MASK << T1_NAD_DAD_SHIFT) | T1_NAD_ADDRESS_MASK)) != 0) {
    return FALSE;
  }
  return Dad == T1_NODE_HOST && (Sad == X->Destination || Sad == T1_NODE_READER);
}

static T1_STEP ReceiveIBlock(PT1_EXCHANGE X, UCHAR Nad, UCHAR Pcb, UCHAR Len, const UCHAR* Inf,
                             NTSTATUS* Result) {
  PREADER_EXTENSION ReaderExtension = X->ReaderExtension;
  BOOLEAN Sequence = (Pcb & T1_PCB_I_SEQUENCE) != 0;
  if ((Pcb & T1_PCB_I_RESERVED) != 0) return T1StepError;
  // The host never announces more than T1_IFS_LARGEST (LEN 255 is reserved): a longer I-block is
  // not the reader's answer but a block damaged in a way its LRC does not show.
  if (Len > T1_IFS_LARGEST) return T1StepError;
  // A block addressed otherwise is damage that happened to pass the LRC (a byte left over from a
  // damaged block shifts the next one).
  if (!AddressedToHost(X, Nad)) return T1StepError;
  // The reader may give up a card command and report why itself (a card pulled out of the slot
  // is deactivated at once): in the middle of the host's chain, or in place of the rest of the
  // card's answer, whose part so far is then dropped.
  BOOLEAN ReaderReport =
      X->Destination != T1_NODE_READER && (Nad & T1_NAD_ADDRESS_MASK) == T1_NODE_READER;
  BOOLEAN NewSource = X->AnswerNadKnown && Nad != X->AnswerNad;
  if (NewSource && !ReaderReport) return T1StepError;
  if (Sequence != SequenceBit(ReaderExtension, SEQUENCE_BIT_RECEIVE)) return T1StepError;
  if (!X->Answering) {
    // Otherwise only the host's last block may be answered with an I-block.
    if (X->Position != X->CommandLength && !ReaderReport) return T1StepError;
    X->Answering = TRUE;
    X->BlockStart = X->CommandLength;
    X->Position = 0;
  } else if (NewSource) {
    X->Position = 0;
  }
  X->AnswerNad = Nad;
  X->AnswerNadKnown = TRUE;
  *X->Dad = (UCHAR)((Nad >> T1_NAD_DAD_SHIFT) & T1_NAD_ADDRESS_MASK);
  *X->Sad = (UCHAR)(Nad & T1_NAD_ADDRESS_MASK);
  ToggleSequenceBit(ReaderExtension, SEQUENCE_BIT_RECEIVE);
  if (X->Position + Len > X->ReplyCapacity) {
    *Result = AbortAnswer(X);
    return T1StepDone;
  }
  RtlCopyMemory(X->Reply + X->Position, Inf, Len);
  X->Position += Len;
  if ((Pcb & T1_PCB_I_MORE) == 0) {
    *Result = STATUS_SUCCESS;
    return T1StepDone;
  }
  X->RCode = T1_R_CODE_ACK;
  MadeProgress(X);
  return T1StepError;
}

static T1_STEP ReceiveRBlock(PT1_EXCHANGE X, UCHAR Pcb, UCHAR Len, NTSTATUS* Result) {
  PREADER_EXTENSION ReaderExtension = X->ReaderExtension;
  if ((Pcb & T1_PCB_R_RESERVED) != 0 || Len != 0) return T1StepError;
  // While the reader sends its chain the host has no block in flight: an R-block then means the
  // reader missed the host's acknowledgement, which step E sends again.
  if (X->Answering) return T1StepError;
  BOOLEAN Sequence = (Pcb & T1_PCB_R_SEQUENCE) != 0;
  if (Sequence != SequenceBit(ReaderExtension, SEQUENCE_BIT_SEND)) {
    if (X->ResendsLeft == 0) {
      return Fail(X, LINK_STATE_RESYNCH_DUE, STATUS_DEVICE_PROTOCOL_ERROR, Result);
    }
    --X->ResendsLeft;
    ToggleSequenceBit(ReaderExtension, SEQUENCE_BIT_SEND);
    X->Position = X->BlockStart;
    return T1StepSend;
  }
  // Only an error-free R-block acknowledges. One that reports an error yet names the block after
  // the one in flight comes from a reader out of step with the host (restarted, its sequence
  // back at 0): taken as an acknowledgement, the rest of the command would reach it as a new
  // command of its own, and its answer to that fragment would pass for the answer.
  if ((Pcb & T1_PCB_R_CODE_BITS) != T1_R_CODE_ACK) return T1StepError;
  if (X->AbortedByReader) {
    *Result = STATUS_TRANSACTION_ABORTED;
    return T1StepDone;
  }
  if (X->Position < X->CommandLength) {
    MadeProgress(X);
    X->BlockStart = X->Position;
    return T1StepSend;
  }
  return T1StepError;  // the reader acknowledged the last block instead of answering it
}

static T1_STEP ReceiveSBlock(PT1_EXCHANGE X, UCHAR Pcb, UCHAR Len, const UCHAR* Inf,
                             NTSTATUS* Result) {
  PREADER_EXTENSION ReaderExtension = X->ReaderExtension;
  if (X->SRequestsLeft == 0) {
    return Fail(X, LINK_STATE_RESYNCH_DUE, STATUS_DEVICE_PROTOCOL_ERROR, Result);
  }
  switch (Pcb) {
    case T1_S_ABORT_REQUEST:
      if (Len != 0) return T1StepError;
      if (!X->Answering) {
        X->AbortedByReader = TRUE;
      } else {
        // The reader gave up its chain; what came of it is dropped, and the answer that follows
        // may come from another node (the reader reporting the abort).
        X->Position = 0;
        X->AnswerNadKnown = FALSE;
      }
      X->RetriesLeft = T1_ERROR_RETRIES;
      --X->SRequestsLeft;
      return SendControlBlock(X, T1_S_ABORT_RESPONSE, 0, NULL, ReaderExtension->BlockWaitingTime,
                              Result);
    case T1_S_IFS_REQUEST: {
      if (Len != T1_S_IFS_LENGTH) return T1StepError;
      UCHAR Size = Inf[0];
      // 0 and 255 are reserved sizes; 0 would stall every chain.
      if (Size < T1_IFS_SMALLEST || Size > T1_IFS_LARGEST) return T1StepError;
      ReaderExtension->Ifsc = Size;
      X->RetriesLeft = T1_ERROR_RETRIES;
      --X->SRequestsLeft;
      return SendControlBlock(X, T1_S_IFS_RESPONSE, T1_S_IFS_LENGTH, &Size,
                              ReaderExtension->BlockWaitingTime, Result);
    }
    case T1_S_WTX_REQUEST: {
      if (Len != T1_S_WTX_LENGTH) return T1StepError;
      UCHAR Multiplier = Inf[0];
      X->RetriesLeft = T1_ERROR_RETRIES;
      --X->SRequestsLeft;
      // Only the next answer may take longer; a multiplier of 0 asks for no extension at all.
      return SendControlBlock(
          X, T1_S_WTX_RESPONSE, T1_S_WTX_LENGTH, &Multiplier,
          ReaderExtension->BlockWaitingTime * (Multiplier != 0 ? Multiplier : 1), Result);
    }
    default:
      return T1StepError;
  }
}

// A character inserted into a block of the reader's chain can shift it so that its LRC still
// matches, and the block passes for good; its real LRC comes after it. When that character was
// still on the line as the block was checked, it is kept (the acknowledgement purges nothing) and
// read in front of the reader's next block: that read fails, and the block sent again is what
// the failed read held a place or more late (two characters inserted into one block leave two). T=1
// has no way back to a block once acknowledged: the answer is lost rather than passed on shifted,
// and the reader, left in its chain, is resynchronised next time. (Noise in front of the next block
// looks the same and costs the answer too.)
static void KeepFailedReadAfterAcknowledgement(PT1_EXCHANGE X) {
  const SMARTCARD_REPLY* Read = &X->SmartcardExtension->SmartcardReply;
  X->FailedReadLength =
      Read->BufferLength < T1_STRAY_COMPARED ? Read->BufferLength : T1_STRAY_COMPARED;
  RtlCopyMemory(X->FailedRead, Read->Buffer, X->FailedReadLength);
}

static BOOLEAN FailedReadHeldThisBlockLate(PT1_EXCHANGE X) {
  const SMARTCARD_REPLY* Block = &X->SmartcardExtension->SmartcardReply;
  for (ULONG Late = 1; Late + T1_STRAY_MATCHED <= X->FailedReadLength; ++Late) {
    ULONG Compared = X->FailedReadLength - Late;
    if (Compared > Block->BufferLength) Compared = Block->BufferLength;
    if (RtlCompareMemory(X->FailedRead + Late, Block->Buffer, Compared) == Compared) return TRUE;
  }
  return FALSE;
}

static T1_STEP ReceiveAndDispatch(PT1_EXCHANGE X, NTSTATUS* Result) {
  BOOLEAN AfterAcknowledgement = X->ChainAcknowledged;
  X->ChainAcknowledged = FALSE;
  NTSTATUS Status = T1ReceiveBlock(X->SmartcardExtension);
  X->LastReceiveStatus = Status;
  X->RCode = T1_R_CODE_OTHER_ERROR;
  if (Status == STATUS_SUCCESS && X->FailedReadLength != 0) {
    BOOLEAN Shifted = FailedReadHeldThisBlockLate(X);
    X->FailedReadLength = 0;
    if (Shifted) return Fail(X, LINK_STATE_RESYNCH_DUE, STATUS_CRC_ERROR, Result);
  }
  if (Status == STATUS_CRC_ERROR && AfterAcknowledgement) KeepFailedReadAfterAcknowledgement(X);
  if (Status != STATUS_SUCCESS) {
    if (Status == STATUS_CRC_ERROR) X->RCode = T1_R_CODE_EDC_ERROR;
    return T1StepError;
  }
  PUCHAR Block = X->SmartcardExtension->SmartcardReply.Buffer;
  UCHAR Nad = Block[T1_OFFSET_NAD];
  UCHAR Pcb = Block[T1_OFFSET_PCB];
  UCHAR Len = Block[T1_OFFSET_LEN];
  const UCHAR* Inf = Block + T1_OFFSET_INF;
  if ((Pcb & T1_PCB_I_BLOCK_BIT) == 0) return ReceiveIBlock(X, Nad, Pcb, Len, Inf, Result);
  // R- and S-blocks come without an address or, from a reader that addresses them, to the host
  // from the reader or from the node it speaks for (a card's S(WTX) passed on). Any other NAD is
  // damage that passed the LRC, refused before it could count as an acknowledgement or an abort.
  // A block read one byte late never passes as one (its PCB is a NAD, bit 7 clear); one that lost
  // its NAD has its PCB there, refused unless that reads 0x00.
  if (Nad != T1_NAD_NONE && !AddressedToHost(X, Nad)) return T1StepError;
  if ((Pcb & T1_PCB_TYPE_MASK) == T1_PCB_R_BLOCK) return ReceiveRBlock(X, Pcb, Len, Result);
  return ReceiveSBlock(X, Pcb, Len, Inf, Result);
}

static T1_STEP ReportError(PT1_EXCHANGE X, NTSTATUS* Result) {
  PREADER_EXTENSION ReaderExtension = X->ReaderExtension;
  if (X->RetriesLeft == 0) {
    // A fourth error that arrived as an intact but unacceptable block has no failure status of
    // its own; success here would pass a partial answer off as complete.
    NTSTATUS Status = X->LastReceiveStatus == STATUS_SUCCESS ? STATUS_DEVICE_PROTOCOL_ERROR
                                                             : X->LastReceiveStatus;
    return Fail(X, LINK_STATE_RESYNCH_DUE, Status, Result);
  }
  if (X->RCode != T1_R_CODE_ACK) --X->RetriesLeft;
  X->ChainAcknowledged = X->RCode == T1_R_CODE_ACK;
  UCHAR Pcb = (UCHAR)(T1_PCB_R_BLOCK |
                      (SequenceBit(ReaderExtension, SEQUENCE_BIT_RECEIVE) ? T1_PCB_R_SEQUENCE : 0) |
                      X->RCode);
  return SendControlBlock(X, Pcb, 0, NULL, ReaderExtension->BlockWaitingTime, Result);
}

NTSTATUS T1Transceive(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Dad, PUCHAR Sad,
                      const UCHAR* Command, ULONG CommandLength, PUCHAR Reply, PULONG ReplyLength) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  SmartcardExtension->SmartcardReply.Buffer = ReaderExtension->SavedReply.Buffer;
  SmartcardExtension->SmartcardReply.BufferSize = ReaderExtension->SavedReply.BufferSize;
  SmartcardExtension->SmartcardReply.BufferLength = ReaderExtension->SavedReply.BufferLength;

  switch (ReaderExtension->LinkState) {
    case LINK_STATE_GIVEN_UP:
      if (T1Resynch(SmartcardExtension) != STATUS_SUCCESS) return STATUS_INVALID_DEVICE_STATE;
      break;
    case LINK_STATE_RESYNCH_DUE:
    case LINK_STATE_NO_ANSWER:
      // A reader that has just been given up on is not sent the command as well.
      if (T1Resynch(SmartcardExtension) == STATUS_INVALID_DEVICE_STATE) {
        return STATUS_INVALID_DEVICE_STATE;
      }
      break;
    default:
      break;
  }

  T1_EXCHANGE X;
  RtlZeroMemory(&X, sizeof(X));
  X.SmartcardExtension = SmartcardExtension;
  X.ReaderExtension = ReaderExtension;
  X.Dad = Dad;
  X.Sad = Sad;
  X.Destination = (UCHAR)(*Dad & T1_NAD_ADDRESS_MASK);
  X.Command = Command;
  X.CommandLength = CommandLength;
  X.Reply = Reply;
  X.ReplyCapacity = *ReplyLength;
  MadeProgress(&X);

  NTSTATUS Result = STATUS_SUCCESS;
  T1_STEP Step = T1StepSend;
  while (Step != T1StepDone) {
    switch (Step) {
      case T1StepSend:
        Step = SendNextIBlock(&X, &Result);
        break;
      case T1StepReceive:
        Step = ReceiveAndDispatch(&X, &Result);
        break;
      case T1StepError:
        Step = ReportError(&X, &Result);
        break;
      case T1StepDone:
        break;
    }
  }
  if (Result == STATUS_SUCCESS) *ReplyLength = X.Position;
  return Result;
}
