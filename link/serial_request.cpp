#include "link/serial_request.h"

NTSTATUS LinkSerialRequest(PSMARTCARD_EXTENSION SmartcardExtension, ULONG SerialIoctl) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (ReaderExtension->SerialIoRoutine == NULL) return STATUS_DEVICE_NOT_CONNECTED;
  ReaderExtension->SerialIoctl = SerialIoctl;
  return ReaderExtension->SerialIoRoutine(SmartcardExtension);
}
