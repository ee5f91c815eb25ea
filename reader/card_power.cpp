// RDF_CARD_POWER: power the card down, or reset it (cold and warm alike) and take its ATR.
#include "link/link.h"
#include "reader/io_request.h"
#include "reader/reader_commands.h"
#include "reader/reader_exchange.h"
#include "reader/reader_functions.h"

static const UCHAR PowerOffCommand[READER_POWER_COMMAND_LENGTH] = {
    READER_CLASS_CARD_TERMINAL, READER_INS_POWER_OFF, READER_P1_CARD_SLOT, READER_P2_POWER_OFF};
static const UCHAR PowerOnCommand[READER_POWER_COMMAND_LENGTH] = {
    READER_CLASS_CARD_TERMINAL, READER_INS_POWER_ON, READER_P1_CARD_SLOT,
    READER_P2_POWER_ON_RETURN_ATR};

static NTSTATUS PowerDownResult(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Sw1, UCHAR Sw2) {
  QueryCardStatus(SmartcardExtension);
  if (Sw1 != READER_SW1_SUCCESS || Sw2 != READER_SW2_SUCCESS) return STATUS_UNSUCCESSFUL;
  SetRequestInformation(SmartcardExtension, 0);
  return STATUS_SUCCESS;
}

static NTSTATUS ResetResult(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Sw1, UCHAR Sw2) {
  if (Sw1 == READER_SW1_SUCCESS) {
    SetCardState(SmartcardExtension, SCARD_POWERED);
    if (Sw2 != READER_SW2_ATR_COMPLETE) return STATUS_UNRECOGNIZED_MEDIA;
    return SmartcardUpdateCardCapabilities(SmartcardExtension);
  }
  if (Sw1 == READER_SW1_EXECUTION_ERROR && Sw2 == READER_SW2_NO_CARD) {
    SetCardState(SmartcardExtension, SCARD_ABSENT);
    return STATUS_NO_MEDIA;
  }
  QueryCardStatus(SmartcardExtension);
  return SmartcardUpdateCardCapabilities(SmartcardExtension);
}

static NTSTATUS CardPowerLocked(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_CARD_CAPABILITIES* Card = &SmartcardExtension->CardCapabilities;
  Card->ATR.Length = 0;

  const UCHAR* Command;
  switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
      Command = PowerOffCommand;
      break;
    case SCARD_COLD_RESET:
    case SCARD_WARM_RESET:
      Command = PowerOnCommand;
      break;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;  // the library lets no other code through
  }

  // A link given up refuses every exchange until the reader is restarted, which only a device
  // start or a wake would otherwise do. A reset of the card is where an application starts
  // afresh after failures, and the restart (a DTR cycle) leaves the card unpowered anyway.
  NTSTATUS Status;
  if (Command == PowerOnCommand &&
      SmartcardExtension->ReaderExtension->LinkState == LINK_STATE_GIVEN_UP) {
    Status = ReaderLinkStatus(LinkBringUpLocked(SmartcardExtension));
    if (Status != STATUS_SUCCESS) return Status;
  }

  READER_ANSWER Answer;
  Status = ReaderExchange(SmartcardExtension, T1_NODE_READER, Command, READER_POWER_COMMAND_LENGTH,
                          Card->ATR.Buffer, sizeof(Card->ATR.Buffer), &Answer);
  if (Status != STATUS_SUCCESS) return Status;
  if (Command == PowerOnCommand) ForgetProtocolAfterReset(SmartcardExtension);
  Card->ATR.Length = (UCHAR)Answer.DataLength;

  // The library always hands over its system buffer; a caller that wants the ATR gives it room.
  if (SmartcardExtension->IoRequest.ReplyBuffer != NULL &&
      SmartcardExtension->IoRequest.ReplyBufferLength != 0) {
    if (SmartcardExtension->IoRequest.ReplyBufferLength < Answer.DataLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, Card->ATR.Buffer, Answer.DataLength);
    SetRequestInformation(SmartcardExtension, Answer.DataLength);
  }

  if (SmartcardExtension->MinorIoControlCode == SCARD_POWER_DOWN) {
    return PowerDownResult(SmartcardExtension, Answer.Sw1, Answer.Sw2);
  }
  return ResetResult(SmartcardExtension, Answer.Sw1, Answer.Sw2);
}

NTSTATUS ReaderCardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS Status = CardPowerLocked(SmartcardExtension);
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  return Status;
}
