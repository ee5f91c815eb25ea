// The reader functions arrive with card power, transmission and the vendor request; until then
// the slots the binding installs answer that the request is not supported.
#include "reader/reader_functions.h"

NTSTATUS ReaderCardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_NOT_SUPPORTED;
}

// No request can pend before card tracking exists, so there is nothing to complete yet.
NTSTATUS CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension->OsData == NULL || SmartcardExtension->OsData->NotificationIrp == NULL);
  return STATUS_SUCCESS;
}
