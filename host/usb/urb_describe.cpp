#include "host/usb/urb_describe.h"

#include <cstring>

namespace host::usb {

namespace {

constexpr uint8_t kDirectionBit = 0x80;

uint8_t RequestType(bool in, uint8_t type, uint8_t recipient) {
  return USB_MAKE_REQUEST_TYPE(in ? BMREQUEST_DEVICE_TO_HOST : BMREQUEST_HOST_TO_DEVICE, type,
                               recipient);
}

std::optional<SetupPacket> VendorOrClass(const URB& urb, uint8_t type, uint8_t recipient) {
  const auto& r = urb.UrbControlVendorClassRequest;
  bool in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
  return SetupPacket{uint8_t(RequestType(in, type, recipient) | r.RequestTypeReservedBits),
                     r.Request, r.Value, r.Index, uint16_t(r.TransferBufferLength)};
}

std::optional<SetupPacket> Feature(const URB& urb, uint8_t request, uint8_t recipient) {
  const auto& r = urb.UrbControlFeatureRequest;
  return SetupPacket{RequestType(false, BMREQUEST_STANDARD, recipient), request, r.FeatureSelector,
                     r.Index, 0};
}

std::optional<SetupPacket> GetStatus(const URB& urb, uint8_t recipient) {
  const auto& r = urb.UrbControlGetStatusRequest;
  return SetupPacket{RequestType(true, BMREQUEST_STANDARD, recipient), USB_REQUEST_GET_STATUS, 0,
                     r.Index, uint16_t(r.TransferBufferLength)};
}

std::optional<SetupPacket> GetDescriptor(const URB& urb, uint8_t recipient) {
  const auto& r = urb.UrbControlDescriptorRequest;
  return SetupPacket{RequestType(true, BMREQUEST_STANDARD, recipient), USB_REQUEST_GET_DESCRIPTOR,
                     USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index), r.LanguageId,
                     uint16_t(r.TransferBufferLength)};
}

// The transfer buffer and its length sit at the same place in every layout that has them.
struct Buffer {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

Buffer TransferBufferOf(const URB& urb) {
  switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
      return {static_cast<const uint8_t*>(urb.UrbControlTransfer.TransferBuffer),
              urb.UrbControlTransfer.TransferBufferLength};
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return {static_cast<const uint8_t*>(urb.UrbBulkOrInterruptTransfer.TransferBuffer),
              urb.UrbBulkOrInterruptTransfer.TransferBufferLength};
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
      return {static_cast<const uint8_t*>(urb.UrbControlDescriptorRequest.TransferBuffer),
              urb.UrbControlDescriptorRequest.TransferBufferLength};
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
      return {static_cast<const uint8_t*>(urb.UrbControlGetStatusRequest.TransferBuffer),
              urb.UrbControlGetStatusRequest.TransferBufferLength};
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      return {static_cast<const uint8_t*>(urb.UrbControlVendorClassRequest.TransferBuffer),
              urb.UrbControlVendorClassRequest.TransferBufferLength};
  }
  return {};
}

}  // namespace

std::optional<SetupPacket> SetupPacketForUrb(const URB& urb) {
  switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      const USB_CONFIGURATION_DESCRIPTOR* cd = urb.UrbSelectConfiguration.ConfigurationDescriptor;
      return SetupPacket{RequestType(false, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE),
                         USB_REQUEST_SET_CONFIGURATION, uint16_t(cd ? cd->bConfigurationValue : 0),
                         0, 0};
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
      const auto& i = urb.UrbSelectInterface.Interface;
      return SetupPacket{RequestType(false, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE),
                         USB_REQUEST_SET_INTERFACE, i.AlternateSetting, i.InterfaceNumber, 0};
    }
    case URB_FUNCTION_CONTROL_TRANSFER:
      return SetupPacket::FromBytes(urb.UrbControlTransfer.SetupPacket);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(urb, BMREQUEST_TO_DEVICE);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
      return GetDescriptor(urb, BMREQUEST_TO_INTERFACE);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      return GetDescriptor(urb, BMREQUEST_TO_ENDPOINT);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
      return Feature(urb, USB_REQUEST_SET_FEATURE, BMREQUEST_TO_DEVICE);
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
      return Feature(urb, USB_REQUEST_SET_FEATURE, BMREQUEST_TO_INTERFACE);
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
      return Feature(urb, USB_REQUEST_SET_FEATURE, BMREQUEST_TO_ENDPOINT);
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
      return Feature(urb, USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_DEVICE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
      return Feature(urb, USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_INTERFACE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return Feature(urb, USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_ENDPOINT);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      return GetStatus(urb, BMREQUEST_TO_DEVICE);
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
      return GetStatus(urb, BMREQUEST_TO_INTERFACE);
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
      return GetStatus(urb, BMREQUEST_TO_ENDPOINT);
    case URB_FUNCTION_VENDOR_DEVICE:
      return VendorOrClass(urb, BMREQUEST_VENDOR, BMREQUEST_TO_DEVICE);
    case URB_FUNCTION_VENDOR_INTERFACE:
      return VendorOrClass(urb, BMREQUEST_VENDOR, BMREQUEST_TO_INTERFACE);
    case URB_FUNCTION_VENDOR_ENDPOINT:
      return VendorOrClass(urb, BMREQUEST_VENDOR, BMREQUEST_TO_ENDPOINT);
    case URB_FUNCTION_VENDOR_OTHER:
      return VendorOrClass(urb, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER);
    case URB_FUNCTION_CLASS_DEVICE:
      return VendorOrClass(urb, BMREQUEST_CLASS, BMREQUEST_TO_DEVICE);
    case URB_FUNCTION_CLASS_INTERFACE:
      return VendorOrClass(urb, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE);
    case URB_FUNCTION_CLASS_ENDPOINT:
      return VendorOrClass(urb, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT);
    case URB_FUNCTION_CLASS_OTHER:
      return VendorOrClass(urb, BMREQUEST_CLASS, BMREQUEST_TO_OTHER);
  }
  return std::nullopt;
}

bool UrbIsDeviceToHost(const URB& urb) {
  if (urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    return USBD_TRANSFER_DIRECTION(urb.UrbBulkOrInterruptTransfer.TransferFlags) ==
           USBD_TRANSFER_DIRECTION_IN;
  }
  std::optional<SetupPacket> setup = SetupPacketForUrb(urb);
  return setup && setup->DeviceToHost();
}

UrbRecord RecordUrbSubmission(const URB& urb, uint16_t device_address, uint8_t pipe_endpoint,
                              TransferType pipe_type) {
  UrbRecord r;
  r.device = device_address;
  r.function = urb.UrbHeader.Function;
  r.setup = SetupPacketForUrb(urb);
  bool in = UrbIsDeviceToHost(urb);
  if (r.setup) {
    r.transfer = TransferType::kControl;
    r.endpoint = in ? kDirectionBit : 0;
  } else if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    r.transfer = pipe_type;
    r.endpoint = pipe_endpoint;
  } else {
    r.transfer = TransferType::kIrpInfo;
    r.endpoint = pipe_endpoint;
  }
  Buffer b = TransferBufferOf(urb);
  r.requested_length = b.length;
  if (!in && b.data) r.out_data.assign(b.data, b.data + b.length);
  return r;
}

void RecordUrbCompletion(UrbTrace& trace, uint64_t id, const URB& urb, NTSTATUS status,
                         kernel::Ticks now) {
  Buffer b = TransferBufferOf(urb);
  std::span<const uint8_t> in_data;
  if (UrbIsDeviceToHost(urb) && b.data) in_data = {b.data, b.length};
  trace.Completed(id, now, status, urb.UrbHeader.Status, b.length, in_data);
}

}  // namespace host::usb
