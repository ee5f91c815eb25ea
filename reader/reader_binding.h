// Binding of a device's smart card extension to the smart card library.
#pragma once
#include "reader/reader_extension.h"

// Vendor attributes and reader capabilities
#define READER_VENDOR_NAME "ZARIK Systems"
#define READER_IFD_TYPE "Z7 Ira DUR"
#define READER_VERSION_MAJOR 0
#define READER_VERSION_MINOR 0x92
#define READER_BUILD_NUMBER 61
#define READER_CLOCK_KHZ 5000
#define READER_MAX_IFSD 254
#define READER_LIBRARY_BUFFER_SIZE 288
#define UNIT_NO_NONE 0xFFFFFFFF

// Events logged when the binding cannot be made
#define READER_EVENT_NO_READER_BLOCK ((NTSTATUS)0xC0040002L)
#define READER_EVENT_INIT_FAILED ((NTSTATUS)0x40040009L)

// Allocates the ReaderExtension, initialises the library and fills in the reader functions,
// vendor attributes, capabilities and link defaults. SerialIoRoutine carries out the link's
// serial requests (ReaderSerialIo on a real device).
NTSTATUS CreateReaderBinding(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension,
                             PSERIAL_IO_ROUTINE SerialIoRoutine);
// First step of removal: ends a pending card tracking request and waits for the open handles.
NTSTATUS ReleaseReaderBinding(PSMARTCARD_EXTENSION SmartcardExtension);
// One reference per open handle, taken at open, dropped at close: STATUS_DELETE_PENDING once
// removal has begun. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS AcquireOpenReference(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS ReleaseOpenReference(PSMARTCARD_EXTENSION SmartcardExtension);
// Last step of removal: hands the library its own buffers back, ends it, frees the block.
NTSTATUS DeleteReaderBinding(PSMARTCARD_EXTENSION SmartcardExtension);

// The lowest unit number that no other device of the driver uses.
ULONG FindFreeUnitNo(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension);
