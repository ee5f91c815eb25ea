// One serial request to the routine the binding was given.
#pragma once
#include "reader/reader_extension.h"

NTSTATUS LinkSerialRequest(PSMARTCARD_EXTENSION SmartcardExtension, ULONG SerialIoctl);

// The same with data: the request descriptor points at Data for this one call. Its BufferLength
// stays at Length afterwards (the serial setup's requests without data rely on it), a command
// waiting in the request buffer is not touched.
NTSTATUS LinkSerialRequestWithData(PSMARTCARD_EXTENSION SmartcardExtension, ULONG SerialIoctl,
                                   PVOID Data, ULONG Length);
