// The library's view of the card: the status query that reads it from the reader, and the one
// place the card state changes.
#include "link/link.h"
#include "reader/reader_commands.h"
#include "reader/reader_functions.h"

static const UCHAR GetCardStatusCommand[READER_GET_STATUS_COMMAND_LENGTH] = {
    READER_CLASS_CARD_TERMINAL, READER_INS_GET_STATUS, READER_P1_GET_STATUS_TERMINAL,
    READER_P2_GET_STATUS_CARD, READER_LE_ALL};

static BOOLEAN CardPresent(ULONG State) { return State > SCARD_ABSENT; }

NTSTATUS SetCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State) {
  SCARD_READER_CAPABILITIES* Caps = &SmartcardExtension->ReaderCapabilities;
  KIRQL Irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  ULONG Old = Caps->CurrentState;
  switch (State) {
    case SCARD_ABSENT:
    case SCARD_PRESENT:
    case SCARD_SWALLOWED:
      Caps->CurrentState = State;
      SmartcardExtension->CardCapabilities.ATR.Length = 0;
      break;
    case SCARD_POWERED:
      // A negotiated or specific card is powered as well; its ATR stays.
      if (Old < SCARD_POWERED) Caps->CurrentState = SCARD_POWERED;
      break;
    default:
      Caps->CurrentState = SCARD_ABSENT;
      SmartcardExtension->CardCapabilities.ATR.Length = 0;
      break;
  }
  ULONG New = Caps->CurrentState;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);

  if (CardPresent(Old) != CardPresent(New)) CompleteCardTracking(SmartcardExtension);
  return STATUS_SUCCESS;
}

static ULONG DecodeCardStatus(UCHAR Status) {
  if ((Status & READER_CARD_STATUS_INSERTED) == 0) return SCARD_ABSENT;
  if ((Status & READER_CARD_STATUS_CONTACT_MASK) == READER_CARD_STATUS_CONTACT_POWERED) {
    return SCARD_POWERED;
  }
  return SCARD_SWALLOWED;
}

NTSTATUS QueryCardStatus(PSMARTCARD_EXTENSION SmartcardExtension) {
  UCHAR Reply[READER_STATUS_REPLY_SIZE];
  ULONG ReplyLength = sizeof(Reply);
  UCHAR Dad = T1_NODE_READER;
  UCHAR Sad = T1_NODE_HOST;
  NTSTATUS Status = T1Transceive(SmartcardExtension, &Dad, &Sad, GetCardStatusCommand,
                                 sizeof(GetCardStatusCommand), Reply, &ReplyLength);
  if (Status != STATUS_SUCCESS) return Status;
  // Without a status word the answer says nothing about the card.
  if (ReplyLength < READER_STATUS_WORD_LENGTH) return STATUS_SUCCESS;

  ULONG DataLength = ReplyLength - READER_STATUS_WORD_LENGTH;
  UCHAR Sw1 = Reply[DataLength];
  UCHAR Sw2 = Reply[DataLength + 1];
  ULONG State = SCARD_ABSENT;
  if (Sw1 == READER_SW1_SUCCESS && Sw2 == READER_SW2_SUCCESS) {
    // The data object's length byte covers every byte after it; an object without a status
    // byte, or a length that does not match, is no report of a card.
    if (DataLength > READER_CARD_STATUS_TLV_HEADER_LENGTH && Reply[0] == READER_TAG_CARD_STATUS &&
        Reply[1] == DataLength - READER_CARD_STATUS_TLV_HEADER_LENGTH) {
      State = DecodeCardStatus(Reply[READER_CARD_STATUS_TLV_HEADER_LENGTH]);
    } else if (DataLength == 1) {
      State = DecodeCardStatus(Reply[0]);
    }
  }
  SetCardState(SmartcardExtension, State);
  return STATUS_SUCCESS;
}
