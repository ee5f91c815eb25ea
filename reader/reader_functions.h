// The reader functions the smart card library calls through ReaderFunction[RDF_*], and the
// completion of the library's pending presence request.
#pragma once
#include "platform/wdm.h"

NTSTATUS ReaderCardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);

// Completes OsData->NotificationIrp, if one pends.
NTSTATUS CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
