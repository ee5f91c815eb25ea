// One serial request to the routine the binding was given.
#pragma once
#include "reader/reader_extension.h"

NTSTATUS LinkSerialRequest(PSMARTCARD_EXTENSION SmartcardExtension, ULONG SerialIoctl);
