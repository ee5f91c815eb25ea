// Reader commands passed through for an application (the raw reader command), the commands among
// them the driver answers or follows itself, and the vendor request's answer. Everything here
// runs at PASSIVE_LEVEL with LinkMutex held.
#pragma once
#include "reader/raw_command.h"
#include "reader/reader_extension.h"

// The vendor request's answer, written with its terminating zero.
#define VENDOR_IOCTL_ANSWER "Vendor IOCTL"

// Whole attempts at a raw command over the link, each with the link's own retries.
#define RAW_COMMAND_ATTEMPTS 4

// A command the driver handles before, or instead of, the reader. STATUS_NOT_SUPPORTED leaves
// the command to the reader.
typedef NTSTATUS (*PINTERCEPT_HANDLER)(PSMARTCARD_EXTENSION SmartcardExtension);
typedef struct _INTERCEPT_ENTRY {
  UCHAR Class;
  UCHAR Instruction;
  PINTERCEPT_HANDLER Handler;
} INTERCEPT_ENTRY;
#define INTERCEPT_TABLE_END 0xFF  // a Class or Instruction that ends the table

extern const INTERCEPT_ENTRY InterceptTable[];

// Sends the command IoRequest describes to the reader and returns its answer in the reply
// buffer (which may be the command's own memory), *IoRequest.Information its length.
NTSTATUS RawReaderCommand(PSMARTCARD_EXTENSION SmartcardExtension);
// The reader's own reset: answered 90 00 here, without the reader.
NTSTATUS AnswerResetLocally(PSMARTCARD_EXTENSION SmartcardExtension);
// Set-parameters: forwarded; when the reader accepts a new baud rate, the line follows.
NTSTATUS SetParameters(PSMARTCARD_EXTENSION SmartcardExtension);
// Puts the line to Rate bit/s (0: the rate in LinkBaudRate again) and keeps it in LinkBaudRate.
NTSTATUS SetLinkBaudRate(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Rate);
// After a DTR cycle: asks the reader again for AskedBaudRate and has the converter follow. When
// either end does not take it, both are brought back to the default rate (another bring-up) and
// AskedBaudRate is forgotten. LinkMutex held.
NTSTATUS AskBaudRateAgain(PSMARTCARD_EXTENSION SmartcardExtension);
