#include "link/serial_request.h"

NTSTATUS LinkSerialRequest(PSMARTCARD_EXTENSION SmartcardExtension, ULONG SerialIoctl) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (ReaderExtension->SerialIoRoutine == NULL) return STATUS_DEVICE_NOT_CONNECTED;
  ReaderExtension->SerialIoctl = SerialIoctl;
  return ReaderExtension->SerialIoRoutine(SmartcardExtension);
}

NTSTATUS LinkSerialRequestWithData(PSMARTCARD_EXTENSION SmartcardExtension, ULONG SerialIoctl,
                                   PVOID Data, ULONG Length) {
  PAGED_CODE();
  SMARTCARD_REQUEST* Request = &SmartcardExtension->SmartcardRequest;
  PUCHAR Buffer = Request->Buffer;
  ULONG BufferSize = Request->BufferSize;
  Request->Buffer = (PUCHAR)Data;
  Request->BufferSize = Length;
  Request->BufferLength = Length;
  NTSTATUS Status = LinkSerialRequest(SmartcardExtension, SerialIoctl);
  Request->Buffer = Buffer;
  Request->BufferSize = BufferSize;
  return Status;
}
