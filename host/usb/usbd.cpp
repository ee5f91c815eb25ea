// The USBD library calls: descriptor walking and the select-configuration URBs built from pool.
#include <cstring>

#include "host/kernel/pool.h"
#include "platform/wdm.h"

namespace {

// Pool tag of the URBs this library hands out; the client frees them with ExFreePool.
constexpr ULONG kUsbdPoolTag = host::kernel::MakeTag("USBD");

// The interface version this bus implements and the USB release its controller speaks.
constexpr ULONG kUsbdiVersion = 0x500;
constexpr ULONG kSupportedUsbVersion = 0x200;

// A descriptor walk that never reads past the end of the buffer: a descriptor must have at
// least its two header bytes, and a bLength below 2 or beyond the end ends the walk.
const USB_COMMON_DESCRIPTOR* NextDescriptor(const UCHAR* position, const UCHAR* end) {
  if (position + sizeof(USB_COMMON_DESCRIPTOR) > end) return nullptr;
  auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(position);
  if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + d->bLength > end) return nullptr;
  return d;
}

const UCHAR* ConfigurationEnd(PUSB_CONFIGURATION_DESCRIPTOR cd) {
  return reinterpret_cast<const UCHAR*>(cd) + cd->wTotalLength;
}

bool Matches(LONG criterion, UCHAR value) { return criterion == -1 || criterion == value; }

ULONG InterfaceRecordsSize(PUSBD_INTERFACE_LIST_ENTRY list, ULONG* interfaces) {
  ULONG bytes = 0;
  *interfaces = 0;
  for (auto* e = list; e->InterfaceDescriptor; ++e) {
    bytes += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++*interfaces;
  }
  return bytes;
}

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
  auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
  const UCHAR* end = begin + TotalLength;
  auto* position = static_cast<const UCHAR*>(StartPosition);
  if (position < begin) return nullptr;
  while (const USB_COMMON_DESCRIPTOR* d = NextDescriptor(position, end)) {
    if (d->bDescriptorType == DescriptorType) return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
    position += d->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (!ConfigurationDescriptor) return nullptr;
  auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const UCHAR* end = ConfigurationEnd(ConfigurationDescriptor);
  auto* position = static_cast<const UCHAR*>(StartPosition);
  if (position < begin) return nullptr;
  while (const USB_COMMON_DESCRIPTOR* d = NextDescriptor(position, end)) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
      if (Matches(InterfaceNumber, i->bInterfaceNumber) &&
          Matches(AlternateSetting, i->bAlternateSetting) &&
          Matches(InterfaceClass, i->bInterfaceClass) &&
          Matches(InterfaceSubClass, i->bInterfaceSubClass) &&
          Matches(InterfaceProtocol, i->bInterfaceProtocol)) {
        return const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
      }
    }
    position += d->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                             InterfaceNumber, AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  auto* start = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
  const USB_COMMON_DESCRIPTOR* first = NextDescriptor(start, BufferEnd);
  if (!first) return 0;
  const UCHAR* position = start + first->bLength;
  while (const USB_COMMON_DESCRIPTOR* d = NextDescriptor(position, BufferEnd)) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    position += d->bLength;
  }
  return ULONG(position - start);
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
  ULONG interfaces = 0;
  ULONG records = InterfaceRecordsSize(InterfaceList, &interfaces);
  // The layout already holds one interface record; a list without entries still gets it, so
  // that the URB is never shorter than its layout.
  ULONG size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
               (interfaces ? records : sizeof(USBD_INTERFACE_INFORMATION));
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
  if (!urb) return nullptr;
  std::memset(urb, 0, size);
  auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    UCHAR pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = GET_USBD_INTERFACE_SIZE(pipes);
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (UCHAR p = 0; p < pipes; ++p) {
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    e->Interface = info;
    record += info->Length;
  }
  UsbBuildSelectConfigurationRequest(urb, USHORT(size), ConfigurationDescriptor);
  return urb;
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                     PUSHORT Siz) {
  if (Siz) *Siz = 0;
  if (!ConfigurationDescriptor) return nullptr;
  // One entry per interface (alternate setting 0), plus the terminator.
  constexpr int kMaxInterfaces = 32;
  USBD_INTERFACE_LIST_ENTRY list[kMaxInterfaces + 1] = {};
  int count = 0;
  for (int n = 0; n < ConfigurationDescriptor->bNumInterfaces && count < kMaxInterfaces; ++n) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, n, 0, -1, -1, -1);
    if (d) list[count++].InterfaceDescriptor = d;
  }
  if (count == 0) return nullptr;
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
  if (urb && Siz) *Siz = urb->UrbHeader.Length;
  return urb;
}

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (!VersionInformation) return;
  VersionInformation->USBDI_Version = kUsbdiVersion;
  VersionInformation->Supported_USB_Version = kSupportedUsbVersion;
}

}  // extern "C"
