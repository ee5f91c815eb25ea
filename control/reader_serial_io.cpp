// The serial requests of the reader link are not carried out on the converter yet: every one
// fails, so that the link reports a reader it cannot reach.
#include "control/reader_serial_io.h"

NTSTATUS ReaderSerialIo(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_NOT_IMPLEMENTED;
}
