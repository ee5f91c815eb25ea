// While the link waits for an answer the device's reading side fetches from the converter: the
// permanent reading thread runs while ReadEnableEvent is signalled. Only a device whose serial
// routine is the converter adapter has that side; a link on any other serial routine has nothing
// to switch.
#include "control/reader_serial_io.h"
#include "driver/device_extension.h"
#include "link/link.h"

void LinkEnableReading(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Enable) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (ReaderExtension->SerialIoRoutine != ReaderSerialIo || ReaderExtension->DeviceObject == NULL) {
    return;
  }
  PREADER_THREAD_CONTEXT Context =
      &DeviceExtensionOf(ReaderExtension->DeviceObject)->ReaderThreadContext;
  if (!Enable) {
    KeResetEvent(&Context->ReadEnableEvent);
    return;
  }
  KeSetEvent(&Context->ReadEnableEvent, IO_NO_INCREMENT, FALSE);
  // As the read dispatch does: a stop of the reading thread in progress signals the event under
  // ReaderMutex, and the two signals do not interleave.
  KeWaitForSingleObject(&Context->ReaderMutex, Executive, KernelMode, FALSE, NULL);
  KeReleaseMutex(&Context->ReaderMutex, FALSE);
}
