// The end of a device: what AddDevice and the start created is released, in the order that
// keeps every user of a resource ahead of its release.
#include "driver/driver.h"
#include "driver/pool_tag.h"
#include "reader/reader_binding.h"
#include "usb/usb_transport.h"

#define SETTINGS_NOT_COUNTED (-1)

static void FreeDescriptor(PVOID* Block) {
  if (*Block != NULL) ExFreePoolWithTag(*Block, DRIVER_POOL_TAG);
  *Block = NULL;
}

NTSTATUS TearDownDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION SmartcardExtension = &Extension->SmartcardExtension;
  // The reading thread uses the queue and the pipes: it goes first.
  StopReadingThread(DeviceObject);
  // The power-up thread uses the link and the binding.
  EndPowerPath(DeviceObject);
  ReleaseReaderBinding(SmartcardExtension);
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (ReaderExtension != NULL && ReaderExtension->LegacyLinkName.Buffer != NULL) {
    IoDeleteSymbolicLink(&ReaderExtension->LegacyLinkName);
  }
  if (Extension->InterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Extension->InterfaceName);
  }
  DeleteReaderBinding(SmartcardExtension);

  FreeDescriptor((PVOID*)&Extension->DeviceDescriptor);
  FreeDescriptor((PVOID*)&Extension->ConfigurationDescriptor);
  Extension->InterfaceSettingCount = SETTINGS_NOT_COUNTED;
  FreeDescriptor((PVOID*)&Extension->InterfaceInfo);
  QueueFree(&Extension->ReceiveQueue);

  if (Extension->LowerDevice != NULL) IoDetachDevice(Extension->LowerDevice);
  Extension->LowerDevice = NULL;
  IoDeleteDevice(DeviceObject);
  return STATUS_SUCCESS;
}
