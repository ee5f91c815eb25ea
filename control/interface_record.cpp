// The interface record: which setting of the converter's interface is selected, and the
// selection of another one.
#include "control/private_interface.h"
#include "usb/usb_transport.h"

static NTSTATUS QueryInterface(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (Request->OutputLength < INTERFACE_RECORD_LENGTH) return STATUS_BUFFER_TOO_SMALL;
  // InterfaceInfo is replaced under UsbMutex; a pending transfer of the reading thread gives way.
  AcquireConverter(DeviceObject);
  NTSTATUS Status = STATUS_INVALID_DEVICE_STATE;  // nothing is selected before the first start
  if (Extension->InterfaceInfo != NULL) {
    SetRecordWord(Request->Buffer, INTERFACE_RECORD_NUMBER,
                  Extension->InterfaceInfo->InterfaceNumber);
    SetRecordWord(Request->Buffer, INTERFACE_RECORD_SETTING,
                  Extension->InterfaceInfo->AlternateSetting);
    Request->Information = INTERFACE_RECORD_LENGTH;
    Status = STATUS_SUCCESS;
  }
  ReleaseConverter(DeviceObject);
  return Status;
}

// The pipe table changes together with the interface, so that the reading thread never builds a
// transfer from a table whose interface is gone; its pending transfer gives way first.
static NTSTATUS SelectSetting(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (Extension->ConfigurationDescriptor == NULL) return STATUS_INVALID_DEVICE_STATE;
  USBD_INTERFACE_INFORMATION Selection;
  RtlZeroMemory(&Selection, sizeof(Selection));
  Selection.InterfaceNumber = Request->Buffer[INTERFACE_RECORD_NUMBER];
  Selection.AlternateSetting = Request->Buffer[INTERFACE_RECORD_SETTING];
  AcquireConverter(DeviceObject);
  NTSTATUS Status = SelectInterface(DeviceObject, Extension->ConfigurationDescriptor, &Selection);
  if (Status == STATUS_SUCCESS) BuildPipeTable(DeviceObject);
  ReleaseConverter(DeviceObject);
  return Status;
}

NTSTATUS InterfaceRecord(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->InputLength < INTERFACE_RECORD_LENGTH) return STATUS_INVALID_PARAMETER;
  switch (RecordWord(Request->Buffer, INTERFACE_RECORD_SELECTOR)) {
    case INTERFACE_QUERY:
      return QueryInterface(DeviceObject, Request);
    case INTERFACE_SELECT:
      return SelectSetting(DeviceObject, Request);
  }
  return STATUS_INVALID_PARAMETER;
}
