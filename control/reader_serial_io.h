// The routine that carries out the reader link's serial requests on the converter.
#pragma once
#include "platform/wdm.h"

NTSTATUS ReaderSerialIo(PSMARTCARD_EXTENSION SmartcardExtension);
