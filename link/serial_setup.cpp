// The converter's serial line set to the link's parameters, and the reader powered through DTR.
#include "link/link.h"
#include "link/serial_request.h"

// DTR cycle: off, then on and held with repeated requests; waits are relative, in 100-ns units.
#define DTR_OFF_WAIT_100NS 500000LL  // 50 ms
#define DTR_ON_WAIT_100NS 2500000LL  // 250 ms
#define DTR_ON_REQUESTS 7

typedef struct _LINK_SETTING {
  ULONG SerialIoctl;
  PVOID Data;  // NULL: the request carries no data
  ULONG Length;
} LINK_SETTING;

// Settings without data leave the request length of the one before them.
static NTSTATUS SendSetting(PSMARTCARD_EXTENSION SmartcardExtension, const LINK_SETTING* Setting) {
  if (Setting->Data == NULL) return LinkSerialRequest(SmartcardExtension, Setting->SerialIoctl);
  return LinkSerialRequestWithData(SmartcardExtension, Setting->SerialIoctl, Setting->Data,
                                   Setting->Length);
}

NTSTATUS LinkSerialSetup(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  const LINK_SETTING Settings[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, &ReaderExtension->LinkBaudRate, sizeof(SERIAL_BAUD_RATE)},
      {IOCTL_SERIAL_SET_LINE_CONTROL, &ReaderExtension->LinkLineControl,
       sizeof(SERIAL_LINE_CONTROL)},
      {IOCTL_SERIAL_SET_CHARS, &ReaderExtension->LinkChars, sizeof(SERIAL_CHARS)},
      {IOCTL_SERIAL_SET_TIMEOUTS, &ReaderExtension->LinkTimeouts, sizeof(SERIAL_TIMEOUTS)},
      {IOCTL_SERIAL_SET_HANDFLOW, &ReaderExtension->LinkHandflow, sizeof(SERIAL_HANDFLOW)},
      {IOCTL_SERIAL_SET_BREAK_OFF, NULL, 0},
      {IOCTL_SERIAL_SET_DTR, NULL, 0},
  };
  SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  for (ULONG i = 0; i < ARRAYSIZE(Settings); ++i) {
    NTSTATUS Status = SendSetting(SmartcardExtension, &Settings[i]);
    if (Status != STATUS_SUCCESS) {
      // A line only partly set up is as unknown as one changed behind the link: set up again
      // at the next bring-up or when the reader stops answering.
      ReaderExtension->LineChangedOutsideLink = TRUE;
      return Status;
    }
  }
  ReaderExtension->LineChangedOutsideLink = FALSE;
  return STATUS_SUCCESS;
}

// The wait follows the request whatever its outcome, so that the line has settled either way.
static NTSTATUS RequestThenWait(PSMARTCARD_EXTENSION SmartcardExtension, ULONG SerialIoctl,
                                LONGLONG Wait) {
  NTSTATUS Status = LinkSerialRequest(SmartcardExtension, SerialIoctl);
  LARGE_INTEGER Interval;
  Interval.QuadPart = -Wait;
  KeDelayExecutionThread(KernelMode, FALSE, &Interval);
  return Status;
}

NTSTATUS LinkDtrCycle(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;
  // The reader restarts at the default rate whatever it was switched to: the converter goes back
  // to that rate with it, or the two would never understand each other again.
  if (ReaderExtension->LinkBaudRate.BaudRate != LINK_DEFAULT_BAUD_RATE) {
    ReaderExtension->LinkBaudRate.BaudRate = LINK_DEFAULT_BAUD_RATE;
    NTSTATUS Status =
        LinkSerialRequestWithData(SmartcardExtension, IOCTL_SERIAL_SET_BAUD_RATE,
                                  &ReaderExtension->LinkBaudRate, sizeof(SERIAL_BAUD_RATE));
    if (Status != STATUS_SUCCESS) {
      // The converter may still be at the old rate while LinkBaudRate says the default: no later
      // DTR cycle would set it again. The line is set up whole at the next bring-up, or when the
      // reader stops answering.
      ReaderExtension->LineChangedOutsideLink = TRUE;
      return Status;
    }
  }
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;
  SmartcardExtension->ReaderExtension->LinkState = LINK_STATE_IN_STEP;

  NTSTATUS Status = RequestThenWait(SmartcardExtension, IOCTL_SERIAL_CLR_DTR, DTR_OFF_WAIT_100NS);
  for (ULONG i = 0; Status == STATUS_SUCCESS && i < DTR_ON_REQUESTS; ++i) {
    Status = RequestThenWait(SmartcardExtension, IOCTL_SERIAL_SET_DTR, DTR_ON_WAIT_100NS);
  }
  return Status;
}
