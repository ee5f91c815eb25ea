// Reading the converter's device, configuration and string descriptors into pool copies.
#include "driver/pool_tag.h"
#include "usb/usb_transport.h"

#define DESCRIPTOR_URB_LENGTH sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
#define STRING_HEADER_READ 4
#define LANGUAGE_NEUTRAL 0

static PVOID AllocatePool(SIZE_T Bytes) {
  return ExAllocatePoolWithTag(NonPagedPool, Bytes, DRIVER_POOL_TAG);
}

static void FreePool(PVOID Block) { ExFreePoolWithTag(Block, DRIVER_POOL_TAG); }

static PURB AllocateDescriptorUrb(void) {
  PURB Urb = (PURB)AllocatePool(DESCRIPTOR_URB_LENGTH);
  if (Urb != NULL) RtlZeroMemory(Urb, DESCRIPTOR_URB_LENGTH);
  return Urb;
}

// One descriptor read under UsbMutex; *Returned receives the bytes the device sent.
static NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Type, UCHAR Index,
                               PVOID Buffer, ULONG Length, PULONG Returned) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  UsbBuildGetDescriptorRequest(Urb, (USHORT)DESCRIPTOR_URB_LENGTH, Type, Index, LANGUAGE_NEUTRAL,
                               Buffer, NULL, Length, NULL);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS Status = SubmitUrb(DeviceObject, Urb);
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  if (Returned != NULL) *Returned = Urb->UrbControlDescriptorRequest.TransferBufferLength;
  return Status;
}

NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PUSB_DEVICE_DESCRIPTOR* Descriptor) {
  *Descriptor = NULL;
  PURB Urb = AllocateDescriptorUrb();
  PUSB_DEVICE_DESCRIPTOR Buffer =
      (PUSB_DEVICE_DESCRIPTOR)AllocatePool(sizeof(USB_DEVICE_DESCRIPTOR));
  if (Urb == NULL || Buffer == NULL) {
    if (Urb != NULL) FreePool(Urb);
    if (Buffer != NULL) FreePool(Buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Buffer, sizeof(USB_DEVICE_DESCRIPTOR));
  NTSTATUS Status = ReadDescriptor(DeviceObject, Urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, Buffer,
                                   sizeof(USB_DEVICE_DESCRIPTOR), NULL);
  FreePool(Urb);
  if (Status != STATUS_SUCCESS) {
    FreePool(Buffer);
    return Status;
  }
  *Descriptor = Buffer;
  return STATUS_SUCCESS;
}

// The chain of descriptors inside wTotalLength holds together: each at least a header long and
// ending inside the total, the configuration, interface and endpoint descriptors at least their
// structure's size, and each interface followed by as many endpoints as it counts. Checked once
// here, so that no parser and no selection ever walks a chain that does not.
static BOOLEAN ChainHoldsTogether(PUSB_CONFIGURATION_DESCRIPTOR Cd) {
  const UCHAR* Bytes = (const UCHAR*)Cd;
  ULONG Total = Cd->wTotalLength;
  if (Cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return FALSE;
  ULONG EndpointsOwed = 0;
  for (ULONG Offset = 0; Offset < Total;) {
    PUSB_COMMON_DESCRIPTOR Descriptor = (PUSB_COMMON_DESCRIPTOR)(Bytes + Offset);
    if (Total - Offset < sizeof(USB_COMMON_DESCRIPTOR)) return FALSE;
    if (Descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR)) return FALSE;
    if (Descriptor->bLength > Total - Offset) return FALSE;
    switch (Descriptor->bDescriptorType) {
      case USB_INTERFACE_DESCRIPTOR_TYPE:
        if (Descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR) || EndpointsOwed != 0) {
          return FALSE;
        }
        EndpointsOwed = ((PUSB_INTERFACE_DESCRIPTOR)Descriptor)->bNumEndpoints;
        break;
      case USB_ENDPOINT_DESCRIPTOR_TYPE:
        if (Descriptor->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) return FALSE;
        if (EndpointsOwed != 0) --EndpointsOwed;
        break;
      default:
        break;
    }
    Offset += Descriptor->bLength;
  }
  return EndpointsOwed == 0;
}

// A configuration descriptor is used only when the device returned at least its header and all
// of the wTotalLength bytes it claims, and its chain holds together; otherwise no buffer comes
// back, with the read's status (STATUS_DEVICE_DATA_ERROR for a chain that does not hold).
NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject,
                                    PUSB_CONFIGURATION_DESCRIPTOR* Descriptor) {
  *Descriptor = NULL;
  PURB Urb = AllocateDescriptorUrb();
  if (Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG Size = CONFIGURATION_FIRST_READ;
  NTSTATUS Status;
  // The first read may be too short for the whole descriptor; the second, of wTotalLength bytes,
  // must then hold it all. A device whose wTotalLength grows again is not believed.
  for (ULONG Read = 0; Read < 2; ++Read) {
    PUSB_CONFIGURATION_DESCRIPTOR Buffer = (PUSB_CONFIGURATION_DESCRIPTOR)AllocatePool(Size);
    if (Buffer == NULL) {
      FreePool(Urb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Buffer, Size);
    ULONG Returned = 0;
    Status = ReadDescriptor(DeviceObject, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, Buffer, Size,
                            &Returned);
    if (NT_SUCCESS(Status) && Returned >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
        Buffer->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      if (Buffer->wTotalLength <= Returned) {
        FreePool(Urb);
        if (!ChainHoldsTogether(Buffer)) {
          FreePool(Buffer);
          return STATUS_DEVICE_DATA_ERROR;
        }
        *Descriptor = Buffer;
        return Status;
      }
      if (Buffer->wTotalLength > Size && Read == 0) {
        Size = Buffer->wTotalLength;
        FreePool(Buffer);
        continue;
      }
    }
    FreePool(Buffer);
    break;
  }
  FreePool(Urb);
  return Status;
}

NTSTATUS GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index,
                             PUSB_STRING_DESCRIPTOR* Descriptor) {
  *Descriptor = NULL;
  PURB Urb = AllocateDescriptorUrb();
  if (Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR Header[STRING_HEADER_READ] = {0};
  NTSTATUS Status = ReadDescriptor(DeviceObject, Urb, USB_STRING_DESCRIPTOR_TYPE, Index, Header,
                                   sizeof(Header), NULL);
  ULONG Length = Header[0];
  if (Status == STATUS_SUCCESS && Length == 0) Status = STATUS_DEVICE_DATA_ERROR;
  if (Status != STATUS_SUCCESS) {
    FreePool(Urb);
    return Status;
  }
  PUSB_STRING_DESCRIPTOR Buffer = (PUSB_STRING_DESCRIPTOR)AllocatePool(Length);
  if (Buffer == NULL) {
    FreePool(Urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Buffer, Length);
  Status =
      ReadDescriptor(DeviceObject, Urb, USB_STRING_DESCRIPTOR_TYPE, Index, Buffer, Length, NULL);
  FreePool(Urb);
  if (Status != STATUS_SUCCESS) {
    FreePool(Buffer);
    return Status;
  }
  // Callers take bLength as the copy's size: a device that claims more the second time is held
  // to the bytes read.
  if (Buffer->bLength > Length) Buffer->bLength = (UCHAR)Length;
  *Descriptor = Buffer;
  return STATUS_SUCCESS;
}
