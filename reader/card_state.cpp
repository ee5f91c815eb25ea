// The library's view of the card: the status query that reads it from the reader, and the
// places the card state changes (protocol selection aside).
#include "link/link.h"
#include "reader/reader_commands.h"
#include "reader/reader_exchange.h"
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

NTSTATUS ForgetProtocolAfterReset(PSMARTCARD_EXTENSION SmartcardExtension) {
  // A reset card runs in its negotiable mode (or the one its ATR prescribes) and the reader has
  // let go of the protocol it was told. Left SPECIFIC, the next selection would find its protocol
  // "in force" and tell the reader nothing. A powered card is still present: no presence change.
  SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  KIRQL Irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_POWERED) {
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_POWERED;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);
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
  PAGED_CODE();
  UCHAR Reply[READER_STATUS_REPLY_SIZE];
  READER_ANSWER Answer;
  NTSTATUS Status = ReaderExchange(SmartcardExtension, T1_NODE_READER, GetCardStatusCommand,
                                   sizeof(GetCardStatusCommand), Reply, sizeof(Reply), &Answer);
  if (Status != STATUS_SUCCESS) return Status;  // the card state is not touched

  ULONG DataLength = Answer.DataLength;
  ULONG State = SCARD_ABSENT;
  if (Answer.Sw1 == READER_SW1_SUCCESS && Answer.Sw2 == READER_SW2_SUCCESS) {
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
