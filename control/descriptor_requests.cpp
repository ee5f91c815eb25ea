// The converter's descriptors read afresh for the configuration tool and copied into the system
// buffer, each only when the output buffer holds all of it. Each read cancels a pending transfer
// of the reading thread first, as the converter's other requests do, instead of waiting for it.
#include "control/private_interface.h"
#include "driver/pool_tag.h"
#include "usb/usb_transport.h"

static void FreeDescriptor(PVOID Descriptor) { ExFreePoolWithTag(Descriptor, DRIVER_POOL_TAG); }

NTSTATUS CopyDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->OutputLength < sizeof(USB_DEVICE_DESCRIPTOR)) return STATUS_BUFFER_TOO_SMALL;
  PUSB_DEVICE_DESCRIPTOR Descriptor;
  CancelCurrentUrb(DeviceObject);
  NTSTATUS Status = GetDeviceDescriptor(DeviceObject, &Descriptor);
  if (Descriptor == NULL) return Status;
  // The copy holds the 18 bytes asked for, whatever bLength the device claims.
  ULONG Length = Descriptor->bLength;
  if (Length > sizeof(USB_DEVICE_DESCRIPTOR)) Length = sizeof(USB_DEVICE_DESCRIPTOR);
  RtlCopyMemory(Request->Buffer, Descriptor, Length);
  Request->Information = Length;
  FreeDescriptor(Descriptor);
  return Status;
}

NTSTATUS CopyConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->OutputLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  PUSB_CONFIGURATION_DESCRIPTOR Descriptor;
  CancelCurrentUrb(DeviceObject);
  NTSTATUS Status = GetConfigurationDescriptor(DeviceObject, &Descriptor);
  if (Descriptor == NULL) {
    // A read that succeeded without a whole descriptor has nothing to give.
    return NT_SUCCESS(Status) ? STATUS_DEVICE_DATA_ERROR : Status;
  }
  // The read returns a descriptor only when it holds all of its wTotalLength bytes.
  ULONG Length = Descriptor->wTotalLength;
  if (Length > Request->OutputLength) {
    Status = STATUS_BUFFER_TOO_SMALL;
  } else {
    RtlCopyMemory(Request->Buffer, Descriptor, Length);
    Request->Information = Length;
    Status = STATUS_SUCCESS;
  }
  FreeDescriptor(Descriptor);
  return Status;
}

// The index is the first input byte; the descriptor is cut to the output buffer.
NTSTATUS CopyStringDescriptor(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->InputLength < STRING_REQUEST_INPUT_LENGTH) return STATUS_INVALID_PARAMETER;
  PUSB_STRING_DESCRIPTOR Descriptor;
  CancelCurrentUrb(DeviceObject);
  NTSTATUS Status =
      GetStringDescriptor(DeviceObject, Request->Buffer[STRING_REQUEST_INDEX], &Descriptor);
  if (Descriptor == NULL) return Status;
  ULONG Length = Descriptor->bLength;
  if (Length > Request->OutputLength) Length = Request->OutputLength;
  RtlCopyMemory(Request->Buffer, Descriptor, Length);
  Request->Information = Length;
  FreeDescriptor(Descriptor);
  return STATUS_SUCCESS;
}
