// The vendor request arrives with the pass-through and locally answered commands; until then the
// slot the binding installs answers that the request is not supported.
#include "reader/reader_functions.h"

NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_NOT_SUPPORTED;
}
