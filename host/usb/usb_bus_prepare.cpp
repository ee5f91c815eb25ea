// What the bus accepts: each URB function's layout, handles and lengths checked at submission.
#include <cstddef>

#include "host/usb/urb_describe.h"
#include "host/usb/usb_bus_port.h"
#include "platform/usbdlib.h"

namespace host::usb {

namespace {

// A control transfer's data stage is at most wLength bytes.
constexpr uint32_t kMaxControlLength = 0xFFFF;
constexpr size_t kSelectConfigurationHeader = offsetof(_URB_SELECT_CONFIGURATION, Interface);
constexpr size_t kSelectInterfaceHeader = offsetof(_URB_SELECT_INTERFACE, Interface);

size_t PipeCount(const ParsedInterface& interface) {
  return std::min<size_t>(interface.declared_endpoints, interface.endpoints.size());
}

}  // namespace

std::unique_ptr<UsbBus::Transfer> UsbBus::Prepare(Port& port, PURB urb) {
  auto t = std::make_unique<Transfer>();
  auto refuse = [&t](NTSTATUS status, USBD_STATUS usbd_status) {
    t->refused = status;
    t->refused_usbd = usbd_status;
    return std::move(t);
  };
  auto invalid = [&refuse](USBD_STATUS usbd_status = USBD_STATUS_INVALID_PARAMETER) {
    return refuse(STATUS_INVALID_PARAMETER, usbd_status);
  };
  // The buffer of a transfer: MDLs are not mapped here, so a length needs a buffer.
  auto take_buffer = [&t](PVOID buffer, ULONG length, bool control) {
    if (length && !buffer) return false;
    if (control && length > kMaxControlLength) return false;
    t->buffer = static_cast<uint8_t*>(buffer);
    t->requested = length;
    return true;
  };

  uint16_t function = urb->UrbHeader.Function;
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
      function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
      function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL ||
      function == URB_FUNCTION_ABORT_PIPE) {
    t->transfer_type = TransferType::kIrpInfo;
  }
  if (port.gone) return refuse(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  if (port.removed) return refuse(STATUS_NO_SUCH_DEVICE, USBD_STATUS_REQUEST_FAILED);
  if (port.powered_down) return refuse(STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEV_NOT_RESPONDING);
  size_t length = urb->UrbHeader.Length;

  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      if (length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) return invalid();
      auto& r = urb->UrbControlDescriptorRequest;
      if (!take_buffer(r.TransferBuffer, r.TransferBufferLength, true)) return invalid();
      t->work = UrbWork::kDescriptor;
      t->in = true;
      t->setup = *SetupPacketForUrb(*urb);
      return t;
    }

    case URB_FUNCTION_SELECT_CONFIGURATION: {
      if (length < kSelectConfigurationHeader) return invalid();
      t->work = UrbWork::kSelectConfiguration;
      t->setup = *SetupPacketForUrb(*urb);
      PUSB_CONFIGURATION_DESCRIPTOR cd = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      if (!cd) return t;
      if (cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return invalid(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
      }
      t->selected = ParseConfiguration({reinterpret_cast<const uint8_t*>(cd), cd->wTotalLength});
      if (!t->selected) return invalid(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
      auto records = InterfaceRecords(urb, kSelectConfigurationHeader, cd->bNumInterfaces);
      if (!records) return invalid(USBD_STATUS_BUFFER_TOO_SMALL);
      for (PUSBD_INTERFACE_INFORMATION record : *records) {
        const ParsedInterface* interface =
            t->selected->Find(record->InterfaceNumber, record->AlternateSetting);
        if (!interface) return invalid(USBD_STATUS_INTERFACE_NOT_FOUND);
        if (record->Length < GET_USBD_INTERFACE_SIZE(PipeCount(*interface))) {
          return invalid(USBD_STATUS_BUFFER_TOO_SMALL);
        }
      }
      return t;
    }

    case URB_FUNCTION_SELECT_INTERFACE: {
      if (length < kSelectInterfaceHeader) return invalid();
      if (!port.configuration ||
          reinterpret_cast<uintptr_t>(urb->UrbSelectInterface.ConfigurationHandle) !=
              port.configuration_handle) {
        return invalid();
      }
      auto records = InterfaceRecords(urb, kSelectInterfaceHeader, 1);
      if (!records) return invalid(USBD_STATUS_BUFFER_TOO_SMALL);
      PUSBD_INTERFACE_INFORMATION record = records->front();
      const ParsedInterface* interface =
          port.configuration->Find(record->InterfaceNumber, record->AlternateSetting);
      if (!interface) return invalid(USBD_STATUS_INTERFACE_NOT_FOUND);
      if (record->Length < GET_USBD_INTERFACE_SIZE(PipeCount(*interface))) {
        return invalid(USBD_STATUS_BUFFER_TOO_SMALL);
      }
      t->work = UrbWork::kSelectInterface;
      t->setup = *SetupPacketForUrb(*urb);
      return t;
    }

    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      if (length < sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) return invalid();
      auto& r = urb->UrbControlVendorClassRequest;
      if (!take_buffer(r.TransferBuffer, r.TransferBufferLength, true)) return invalid();
      t->setup = *SetupPacketForUrb(*urb);
      t->in = t->setup.DeviceToHost();
      if (!t->in && t->buffer) t->data_out.assign(t->buffer, t->buffer + t->requested);
      t->work = UrbWork::kDeviceControl;
      return t;
    }

    case URB_FUNCTION_CONTROL_TRANSFER: {
      if (length < sizeof(_URB_CONTROL_TRANSFER)) return invalid();
      auto& r = urb->UrbControlTransfer;
      t->setup = SetupPacket::FromBytes(r.SetupPacket);
      // Standard requests have URB functions of their own.
      if (t->setup.Type() == BMREQUEST_STANDARD) return invalid(USBD_STATUS_NOT_SUPPORTED);
      if (!take_buffer(r.TransferBuffer, r.TransferBufferLength, true)) return invalid();
      t->in = t->setup.DeviceToHost();
      if (!t->in && t->buffer) t->data_out.assign(t->buffer, t->buffer + t->requested);
      t->work = UrbWork::kDeviceControl;
      return t;
    }

    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      if (length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) return invalid();
      auto& r = urb->UrbBulkOrInterruptTransfer;
      auto pipe = port.pipes.find(reinterpret_cast<uintptr_t>(r.PipeHandle));
      if (pipe == port.pipes.end()) return invalid(USBD_STATUS_INVALID_PIPE_HANDLE);
      const UsbPipe& p = pipe->second;
      t->pipe = p.handle;
      t->endpoint = p.endpoint;
      if (p.type == USB_ENDPOINT_TYPE_BULK) {
        t->transfer_type = TransferType::kBulk;
      } else if (p.type == USB_ENDPOINT_TYPE_INTERRUPT) {
        t->transfer_type = TransferType::kInterrupt;
      } else {
        return invalid(USBD_STATUS_INVALID_PIPE_HANDLE);
      }
      if (p.halted) return refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
      if (p.maximum_transfer && r.TransferBufferLength > p.maximum_transfer) return invalid();
      if (!take_buffer(r.TransferBuffer, r.TransferBufferLength, false)) return invalid();
      // The endpoint decides the direction.
      t->in = p.In();
      t->work = UrbWork::kPipe;
      return t;
    }

    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE: {
      if (length < sizeof(_URB_PIPE_REQUEST)) return invalid();
      auto pipe = port.pipes.find(reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle));
      if (pipe == port.pipes.end()) return invalid(USBD_STATUS_INVALID_PIPE_HANDLE);
      t->pipe = pipe->second.handle;
      t->endpoint = pipe->second.endpoint;
      t->work = function == URB_FUNCTION_ABORT_PIPE ? UrbWork::kAbortPipe : UrbWork::kResetPipe;
      return t;
    }
  }
  return invalid(USBD_STATUS_INVALID_URB_FUNCTION);
}

}  // namespace host::usb
