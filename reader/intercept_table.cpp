// The raw reader commands the driver answers itself or follows: the reader's own reset, and the
// set-parameters command whose new baud rate the line must take on once the reader has.
#include "link/link.h"
#include "reader/io_request.h"
#include "reader/pass_through.h"
#include "reader/reader_commands.h"
#include "reader/reader_exchange.h"

static const ULONG BaudRateOfCode[READER_BAUD_RATE_CODE_COUNT] = READER_BAUD_RATE_CODES;

const INTERCEPT_ENTRY InterceptTable[] = {
    {READER_CLASS_SET_PARAMETERS, READER_INS_SET_PARAMETERS, SetParameters},
    {READER_CLASS_CARD_TERMINAL, READER_INS_POWER_ON, AnswerResetLocally},
    {INTERCEPT_TABLE_END, INTERCEPT_TABLE_END, NULL},
};

// RawReaderCommand has made sure that the reply buffer holds a status word.
NTSTATUS AnswerResetLocally(PSMARTCARD_EXTENSION SmartcardExtension) {
  const UCHAR* Command = SmartcardExtension->IoRequest.RequestBuffer;
  if (SmartcardExtension->IoRequest.RequestBufferLength < READER_RESET_COMMAND_LENGTH ||
      Command[READER_OFFSET_P1] != READER_P1_TERMINAL) {
    return STATUS_NOT_SUPPORTED;
  }
  PUCHAR Reply = SmartcardExtension->IoRequest.ReplyBuffer;
  Reply[0] = READER_SW1_SUCCESS;
  Reply[1] = READER_SW2_SUCCESS;
  SetRequestInformation(SmartcardExtension, READER_STATUS_WORD_LENGTH);
  return STATUS_SUCCESS;
}

// The rate the command's last valid baud rate object names, or 0.
static ULONG RequestedBaudRate(const UCHAR* Command, ULONG Length) {
  ULONG Rate = 0;
  ULONG Offset = READER_SET_PARAMETERS_FIRST_OBJECT;
  while (Offset + READER_TLV_HEADER_LENGTH <= Length) {
    UCHAR Tag = Command[Offset];
    UCHAR ObjectLength = Command[Offset + 1];
    ULONG Value = Offset + READER_TLV_HEADER_LENGTH;
    if (Tag == READER_TAG_BAUD_RATE && ObjectLength != 0 && Value < Length &&
        Command[Value] < READER_BAUD_RATE_CODE_COUNT) {
      Rate = BaudRateOfCode[Command[Value]];
    }
    Offset = Value + ObjectLength;
  }
  return Rate;
}

// Sent once, as it is. The line changes only after the reader has answered 90 00, since the
// reader answers at the old rate and then switches.
NTSTATUS SetParameters(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG Rate = RequestedBaudRate(SmartcardExtension->IoRequest.RequestBuffer,
                                 SmartcardExtension->IoRequest.RequestBufferLength);
  UCHAR Dad = T1_NODE_READER;
  UCHAR Sad = T1_NODE_HOST;
  ULONG ReplyLength = SmartcardExtension->IoRequest.ReplyBufferLength;
  PUCHAR Reply = SmartcardExtension->IoRequest.ReplyBuffer;
  NTSTATUS Status =
      T1Transceive(SmartcardExtension, &Dad, &Sad, SmartcardExtension->IoRequest.RequestBuffer,
                   SmartcardExtension->IoRequest.RequestBufferLength, Reply, &ReplyLength);
  if (Status != STATUS_SUCCESS) return ReaderLinkStatus(Status);
  SetRequestInformation(SmartcardExtension, ReplyLength);
  if (Rate != 0 && ReplyLength >= READER_STATUS_WORD_LENGTH && Reply[0] == READER_SW1_SUCCESS &&
      Reply[1] == READER_SW2_SUCCESS) {
    SetLinkBaudRate(SmartcardExtension, Rate);
  }
  return STATUS_SUCCESS;
}
