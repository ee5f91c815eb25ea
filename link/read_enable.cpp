// While the link waits for an answer the device's reading side fetches from the converter: the
// permanent reading thread runs while ReadEnableEvent is signalled. Only a device whose serial
// routine is the converter adapter has that side; a link on any other serial routine has nothing
// to switch.
#include "control/reader_serial_io.h"
#include "link/link.h"
#include "usb/usb_transport.h"

void LinkEnableReading(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Enable) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (ReaderExtension->SerialIoRoutine != ReaderSerialIo || ReaderExtension->DeviceObject == NULL) {
    return;
  }
  if (Enable) {
    EnableReading(ReaderExtension->DeviceObject);
  } else {
    DisableReading(ReaderExtension->DeviceObject);
  }
}
