// RDF_SET_PROTOCOL: tell the reader which card protocol to run and move the card to
// SCARD_SPECIFIC.
#include "link/link.h"
#include "reader/io_request.h"
#include "reader/reader_commands.h"
#include "reader/reader_exchange.h"
#include "reader/reader_functions.h"

// The protocol byte is replaced for each request.
static const UCHAR SetParametersCommand[READER_SET_PARAMETERS_LENGTH] = {
    READER_CLASS_SET_PARAMETERS, READER_INS_SET_PARAMETERS, READER_P1_SET_PARAMETERS,
    READER_P2_SET_PARAMETERS,    READER_LC_SET_PARAMETERS,  READER_TAG_CARD_PROTOCOL,
    READER_LENGTH_CARD_PROTOCOL, READER_CARD_PROTOCOL_T0};

static BOOLEAN ParametersAccepted(UCHAR Sw1, UCHAR Sw2) {
  return (Sw1 == READER_SW1_SUCCESS && Sw2 == READER_SW2_SUCCESS) ||
         (Sw1 == READER_SW1_WRONG_DATA && Sw2 == READER_SW2_WRONG_DATA_PARAMETERS);
}

// The selected protocol goes back in the reply, as the library expects of every success.
static NTSTATUS AnswerSelected(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG Selected = SmartcardExtension->CardCapabilities.Protocol.Selected;
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &Selected, sizeof(Selected));
  SetRequestInformation(SmartcardExtension, sizeof(Selected));
  return STATUS_SUCCESS;
}

static NTSTATUS SetProtocolLocked(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_CARD_CAPABILITIES* Card = &SmartcardExtension->CardCapabilities;
  ULONG Requested = SmartcardExtension->MinorIoControlCode;
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
      (Requested & Card->Protocol.Selected) != 0) {
    return AnswerSelected(SmartcardExtension);  // already in force: nothing sent
  }

  ULONG Common = Card->Protocol.Supported & Requested;
  UCHAR ProtocolByte;
  if (Common & SCARD_PROTOCOL_T1) {
    ProtocolByte = READER_CARD_PROTOCOL_T1;
    Card->Protocol.Selected = SCARD_PROTOCOL_T1;
  } else if (Common & SCARD_PROTOCOL_T0) {
    ProtocolByte = READER_CARD_PROTOCOL_T0;
    Card->Protocol.Selected = SCARD_PROTOCOL_T0;
  } else {
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  UCHAR Command[READER_SET_PARAMETERS_LENGTH];
  RtlCopyMemory(Command, SetParametersCommand, sizeof(Command));
  Command[READER_SET_PARAMETERS_PROTOCOL_OFFSET] = ProtocolByte;
  UCHAR Reply[READER_SET_PARAMETERS_REPLY_SIZE];
  READER_ANSWER Answer;
  NTSTATUS Status = ReaderExchange(SmartcardExtension, T1_NODE_READER, Command, sizeof(Command),
                                   Reply, sizeof(Reply), &Answer);
  if (Status != STATUS_SUCCESS) return Status;
  if (!ParametersAccepted(Answer.Sw1, Answer.Sw2)) return STATUS_DEVICE_PROTOCOL_ERROR;

  // Written directly: SetCardState does not take this state, and the library reads it only
  // after this function has returned.
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  return AnswerSelected(SmartcardExtension);
}

NTSTATUS ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  // Without room for the answer nothing is asked and nothing changes.
  if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
      SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(ULONG)) {
    SetRequestInformation(SmartcardExtension, 0);
    return STATUS_BUFFER_TOO_SMALL;
  }
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS Status = SetProtocolLocked(SmartcardExtension);
  if (Status == STATUS_IO_TIMEOUT) {
    // The reader may have taken the parameters; the choice stays for the next attempt.
    SetRequestInformation(SmartcardExtension, 0);
  } else if (Status != STATUS_SUCCESS) {
    SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    SetRequestInformation(SmartcardExtension, 0);
  }
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  return Status;
}
