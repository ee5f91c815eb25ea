// The library's request block as the reader functions fill it in.
#pragma once
#include "platform/wdm.h"

// The library always passes the byte count's address; a missing one is not written through.
inline void SetRequestInformation(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Value) {
  if (SmartcardExtension->IoRequest.Information != NULL) {
    *SmartcardExtension->IoRequest.Information = Value;
  }
}
