// RDF_TRANSMIT: the application's command goes to the card through the reader, whatever protocol
// was selected (the reader runs the card protocol); the answer comes back behind the request's
// header. An answer from the reader itself is an error report and becomes a status.
#include "link/link.h"
#include "reader/io_request.h"
#include "reader/reader_commands.h"
#include "reader/reader_exchange.h"
#include "reader/reader_functions.h"

#define TRANSMIT_HEADER_LENGTH sizeof(SCARD_IO_REQUEST)

static NTSTATUS ReaderAnswerStatus(UCHAR Sw1, UCHAR Sw2) {
  switch (Sw1) {
    case READER_SW1_WARNING:
      return STATUS_INVALID_DEVICE_REQUEST;
    case READER_SW1_EXECUTION_ERROR:
      if (Sw2 == READER_SW2_CARD_MUTE) return STATUS_IO_TIMEOUT;
      if (Sw2 == READER_SW2_NO_CARD) return STATUS_NO_MEDIA;
      return STATUS_DEVICE_PROTOCOL_ERROR;
    case READER_SW1_WRONG_LENGTH:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

static NTSTATUS TransmitLocked(PSMARTCARD_EXTENSION SmartcardExtension) {
  SetRequestInformation(SmartcardExtension, 0);
  switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
    case SCARD_PROTOCOL_T1:
    case SCARD_PROTOCOL_RAW:
      break;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
  // Both buffers begin with the header; shorter ones hold no command or no room for the answer.
  if (SmartcardExtension->IoRequest.RequestBuffer == NULL ||
      SmartcardExtension->IoRequest.RequestBufferLength < TRANSMIT_HEADER_LENGTH) {
    return STATUS_INVALID_PARAMETER;
  }
  if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
      SmartcardExtension->IoRequest.ReplyBufferLength < TRANSMIT_HEADER_LENGTH) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (SmartcardExtension->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T0) {
    // Only the library's check of the T=0 command counts; what it builds is not sent.
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    NTSTATUS Status = SmartcardT0Request(SmartcardExtension);
    if (Status != STATUS_SUCCESS) return Status;
  }

  PUCHAR Request = SmartcardExtension->IoRequest.RequestBuffer;
  PUCHAR Reply = SmartcardExtension->IoRequest.ReplyBuffer;
  // The two may be the same buffer.
  RtlMoveMemory(Reply, Request, TRANSMIT_HEADER_LENGTH);
  READER_ANSWER Answer;
  NTSTATUS Status = ReaderExchange(
      SmartcardExtension, T1_NODE_CARD, Request + TRANSMIT_HEADER_LENGTH,
      SmartcardExtension->IoRequest.RequestBufferLength - TRANSMIT_HEADER_LENGTH,
      Reply + TRANSMIT_HEADER_LENGTH,
      SmartcardExtension->IoRequest.ReplyBufferLength - TRANSMIT_HEADER_LENGTH, &Answer);
  SetRequestInformation(SmartcardExtension, Answer.Length + TRANSMIT_HEADER_LENGTH);
  if (Answer.Source != T1_NODE_READER) return Status;  // the card's answer, or none at all

  // The reader answered in the card's place: an error report, nothing for the caller.
  SetRequestInformation(SmartcardExtension, 0);
  if (Status != STATUS_SUCCESS) return Status;  // not even a status word
  return ReaderAnswerStatus(Answer.Sw1, Answer.Sw2);
}

NTSTATUS ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS Status = TransmitLocked(SmartcardExtension);
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  return Status;
}
