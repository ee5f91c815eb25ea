// The raw reader commands the driver answers itself or follows: the reader's own reset, and the
// set-parameters command whose new baud rate the line must take on once the reader has.
#include "driver/driver_name.h"
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

// The reader and the converter back at the default rate after a switch that went wrong on one
// side: the DTR cycle of a bring-up restarts the reader at that rate and takes the converter
// with it.
static void BackToDefaultRate(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardExtension->ReaderExtension->AskedBaudRate = 0;
  DbgPrint("'%s: line rate switch failed, reader and converter back at %lu bit/s\n", DRIVER_NAME,
           (unsigned long)LINK_DEFAULT_BAUD_RATE);
  LinkBringUpLocked(SmartcardExtension);
}

NTSTATUS AskBaudRateAgain(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  ULONG Rate = ReaderExtension->AskedBaudRate;
  UCHAR Code = 0;
  while (Code < READER_BAUD_RATE_CODE_COUNT && BaudRateOfCode[Code] != Rate) ++Code;
  if (Code == READER_BAUD_RATE_CODE_COUNT) {
    ReaderExtension->AskedBaudRate = 0;
    return STATUS_SUCCESS;
  }
  DbgPrint("'%s: reader restarted at %lu bit/s, asking it for %lu bit/s again\n", DRIVER_NAME,
           (unsigned long)LINK_DEFAULT_BAUD_RATE, (unsigned long)Rate);
  const UCHAR Command[READER_SET_BAUD_RATE_LENGTH] = {
      READER_CLASS_SET_PARAMETERS, READER_INS_SET_PARAMETERS,
      READER_P1_SET_PARAMETERS,    READER_P2_SET_PARAMETERS,
      READER_LC_SET_PARAMETERS,    READER_TAG_BAUD_RATE,
      READER_LENGTH_BAUD_RATE,     Code};
  UCHAR Reply[READER_SET_PARAMETERS_REPLY_SIZE];
  READER_ANSWER Answer;
  NTSTATUS Status = ReaderExchange(SmartcardExtension, T1_NODE_READER, Command, sizeof(Command),
                                   Reply, sizeof(Reply), &Answer);
  if (Status == STATUS_SUCCESS && Answer.Sw1 == READER_SW1_SUCCESS &&
      Answer.Sw2 == READER_SW2_SUCCESS) {
    if (SetLinkBaudRate(SmartcardExtension, Rate) == STATUS_SUCCESS) return STATUS_SUCCESS;
  } else if (Status == STATUS_SUCCESS) {
    // Refused: the reader stays at the default rate, and so does the line.
    ReaderExtension->AskedBaudRate = 0;
    return STATUS_SUCCESS;
  }
  BackToDefaultRate(SmartcardExtension);
  return STATUS_SUCCESS;
}

// Sent once, as it is. The line changes only after the reader has answered 90 00, since the
// reader answers at the old rate and then switches. Once the command has gone out, any failure
// may leave the reader at the new rate: both ends go back to the default rate, and the caller
// learns the failure.
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
  if (Status != STATUS_SUCCESS) {
    if (Rate != 0) BackToDefaultRate(SmartcardExtension);
    return ReaderLinkStatus(Status);
  }
  SetRequestInformation(SmartcardExtension, ReplyLength);
  if (Rate != 0 && ReplyLength >= READER_STATUS_WORD_LENGTH && Reply[0] == READER_SW1_SUCCESS &&
      Reply[1] == READER_SW2_SUCCESS) {
    Status = SetLinkBaudRate(SmartcardExtension, Rate);
    if (Status != STATUS_SUCCESS) {
      // The reader switched, the converter did not: the converter's status goes to the caller.
      BackToDefaultRate(SmartcardExtension);
      SetRequestInformation(SmartcardExtension, 0);
      return Status;
    }
    SmartcardExtension->ReaderExtension->AskedBaudRate = Rate != LINK_DEFAULT_BAUD_RATE ? Rate : 0;
  }
  return STATUS_SUCCESS;
}
