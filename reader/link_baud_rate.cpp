// The line's baud rate, changed through the serial routine like every setting of the link.
#include "link/serial_request.h"
#include "reader/pass_through.h"

NTSTATUS SetLinkBaudRate(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Rate) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  ULONG RequestLength = SmartcardExtension->SmartcardRequest.BufferLength;
  SMARTCARD_REPLY Reply = SmartcardExtension->SmartcardReply;
  // The block timing follows LinkBaudRate, and every later start and power-up applies it again.
  if (Rate != 0) ReaderExtension->LinkBaudRate.BaudRate = Rate;
  NTSTATUS Status =
      LinkSerialRequestWithData(SmartcardExtension, IOCTL_SERIAL_SET_BAUD_RATE,
                                &ReaderExtension->LinkBaudRate, sizeof(SERIAL_BAUD_RATE));
  SmartcardExtension->SmartcardRequest.BufferLength = RequestLength;
  SmartcardExtension->SmartcardReply = Reply;
  return Status;
}
