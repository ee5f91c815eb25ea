// The default pipe: descriptor reads and selections the bus answers from the model's
// descriptors, and vendor and class requests the model answers itself; one at a time.
#include <algorithm>
#include <cstring>

#include "host/usb/usb_bus_port.h"
#include "platform/usbdlib.h"
#include "platform/wdm.h"

namespace host::usb {

namespace {

// Handles are opaque to clients; these look like kernel addresses and are never reused.
constexpr uintptr_t kHandleBase = 0xFFFFC0DE00000000ull;
constexpr uintptr_t kHandleStep = 0x40;
constexpr size_t kSelectConfigurationHeader = offsetof(_URB_SELECT_CONFIGURATION, Interface);

std::optional<std::vector<uint8_t>> DescriptorFor(UsbDevice& device, const SetupPacket& setup) {
  uint8_t type = uint8_t(setup.value >> 8);
  uint8_t index = uint8_t(setup.value);
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return device.DeviceDescriptor();
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      return device.ConfigurationDescriptor(index);
    case USB_STRING_DESCRIPTOR_TYPE:
      return device.StringDescriptor(index, setup.index);
  }
  return std::nullopt;
}

}  // namespace

uintptr_t UsbBus::NewHandle() { return kHandleBase + next_handle_++ * kHandleStep; }

void UsbBus::ScheduleControl(Port& port) {
  if (port.gone || port.control_active || port.control_cancelling || port.control_start_scheduled ||
      port.control_queue.empty()) {
    return;
  }
  port.control_start_scheduled = true;
  io().kernel().ScheduleAfter(0, [this, &port] { StartControl(port); });
}

void UsbBus::StartControl(Port& port) {
  Transfer* t;
  uint64_t generation;
  {
    std::lock_guard lock(mu_);
    port.control_start_scheduled = false;
    if (port.gone || port.control_active || port.control_cancelling || port.control_queue.empty()) {
      return;
    }
    t = port.control_queue.front();
    port.control_queue.pop_front();
    port.control_active = t;
    generation = ++port.control_generation;
  }
  UrbWork work = t->work;
  SetupPacket setup = t->setup;
  if (work == UrbWork::kDeviceControl) {
    std::vector<uint8_t> data = t->data_out;
    port.device.ControlTransfer(setup, data, [this, &port, generation](ControlResult result) {
      ControlAnswered(port, generation, std::move(result));
    });
    return;
  }
  std::optional<std::vector<uint8_t>> answer;
  if (work == UrbWork::kDescriptor) answer = DescriptorFor(port.device, setup);
  std::lock_guard lock(mu_);
  if (port.control_active != t || port.control_generation != generation) return;
  t->answer = std::move(answer);
  port.control_event = io().kernel().ScheduleAfter(
      options_.control_time, [this, &port, generation] { FinishStandard(port, generation); });
}

void UsbBus::FinishStandard(Port& port, uint64_t generation) {
  Transfer* t;
  std::vector<std::pair<uint8_t, uint8_t>> settings;  // SET_INTERFACE after SET_CONFIGURATION
  uint8_t configuration_value = 0;
  uint8_t endpoint = 0;
  {
    std::lock_guard lock(mu_);
    if (port.gone || !port.control_active || port.control_generation != generation) return;
    t = port.control_active;
    port.control_event = 0;
    if (t->work == UrbWork::kSelectConfiguration && t->selected) {
      configuration_value = t->selected->value;
      auto records =
          InterfaceRecords(t->urb, kSelectConfigurationHeader, t->selected->declared_interfaces);
      for (PUSBD_INTERFACE_INFORMATION r : records.value_or(decltype(records)::value_type())) {
        if (r->AlternateSetting) settings.emplace_back(r->InterfaceNumber, r->AlternateSetting);
      }
    } else if (t->work == UrbWork::kSelectInterface) {
      const auto& i = t->urb->UrbSelectInterface.Interface;
      settings.emplace_back(i.InterfaceNumber, i.AlternateSetting);
    }
    endpoint = t->endpoint;
  }

  Handshake handshake = Handshake::kAck;
  switch (t->work) {
    case UrbWork::kSelectConfiguration:
      handshake = port.device.SetConfiguration(configuration_value);
      for (auto [number, alternate] : settings) {
        if (handshake == Handshake::kAck) handshake = port.device.SetInterface(number, alternate);
      }
      break;
    case UrbWork::kSelectInterface:
      handshake = port.device.SetInterface(settings.front().first, settings.front().second);
      break;
    case UrbWork::kResetPipe:
      port.device.ClearHalt(endpoint);
      break;
    default:
      break;
  }

  std::unique_ptr<Transfer> mine;
  std::vector<std::unique_ptr<Transfer>> cancelled;
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
  {
    std::lock_guard lock(mu_);
    if (port.gone || port.control_active != t || port.control_generation != generation) return;
    mine = Claim(port, t);
    if (!mine) return;
    switch (mine->work) {
      case UrbWork::kDescriptor:
        if (mine->answer) {
          mine->moved = uint32_t(std::min<size_t>(mine->answer->size(), mine->requested));
          if (mine->moved) std::memcpy(mine->buffer, mine->answer->data(), mine->moved);
        } else {
          handshake = Handshake::kStall;
        }
        break;
      case UrbWork::kSelectConfiguration:
      case UrbWork::kSelectInterface:
        if (handshake == Handshake::kAck) ApplySelection(port, *mine, cancelled);
        break;
      case UrbWork::kResetPipe:
        if (auto pipe = port.pipes.find(mine->pipe); pipe != port.pipes.end()) {
          pipe->second.halted = false;
        }
        break;
      default:
        break;
    }
    if (handshake == Handshake::kStall) {
      status = STATUS_UNSUCCESSFUL;
      usbd_status = USBD_STATUS_STALL_PID;
    }
  }
  DeliverAll(std::move(cancelled), STATUS_CANCELLED, USBD_STATUS_CANCELED);
  Deliver(std::move(mine), status, usbd_status);
}

void UsbBus::ControlAnswered(Port& port, uint64_t generation, ControlResult result) {
  std::unique_ptr<Transfer> mine;
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
  {
    std::lock_guard lock(mu_);
    // A late answer to a request the bus gave up is ignored.
    if (port.gone || !port.control_active || port.control_generation != generation) return;
    mine = Claim(port, port.control_active);
    if (!mine) return;
    if (result.handshake != Handshake::kAck) {
      status = STATUS_UNSUCCESSFUL;
      usbd_status = USBD_STATUS_STALL_PID;
    } else if (mine->in) {
      mine->moved = uint32_t(std::min<size_t>(result.data.size(), mine->requested));
      if (mine->moved) std::memcpy(mine->buffer, result.data.data(), mine->moved);
    } else {
      mine->moved = mine->requested;
    }
  }
  Deliver(std::move(mine), status, usbd_status);
}

// --- selections (under mu_) ---

void UsbBus::RemovePipes(Port& port, int interface_number,
                         std::vector<std::unique_ptr<Transfer>>& cancelled) {
  std::vector<uintptr_t> ending;
  for (auto& [handle, pipe] : port.pipes) {
    if (interface_number < 0 || pipe.interface_number == interface_number) ending.push_back(handle);
  }
  for (uintptr_t handle : ending) {
    std::deque<Transfer*> queue = port.pipes.at(handle).queue;
    for (Transfer* t : queue) {
      if (auto mine = Claim(port, t)) cancelled.push_back(std::move(mine));
    }
    UsbPipe& pipe = port.pipes.at(handle);
    if (pipe.poll) io().kernel().CancelScheduled(pipe.poll);
    port.pipes.erase(handle);
  }
}

void UsbBus::FillInterface(Port& port, PUSBD_INTERFACE_INFORMATION record,
                           const ParsedInterface& interface) {
  record->Class = interface.interface_class;
  record->SubClass = interface.interface_subclass;
  record->Protocol = interface.interface_protocol;
  record->Reserved = 0;
  record->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(NewHandle());
  size_t count = std::min<size_t>(interface.declared_endpoints, interface.endpoints.size());
  record->NumberOfPipes = ULONG(count);
  for (size_t i = 0; i < count; ++i) {
    const ParsedEndpoint& e = interface.endpoints[i];
    USBD_PIPE_INFORMATION& info = record->Pipes[i];
    uintptr_t handle = NewHandle();
    info.MaximumPacketSize = e.max_packet_size;
    info.EndpointAddress = e.address;
    info.Interval = e.interval;
    info.PipeType = USBD_PIPE_TYPE(e.Type());
    info.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(handle);
    UsbPipe pipe;
    pipe.handle = handle;
    pipe.interface_number = interface.number;
    pipe.endpoint = e.address;
    pipe.type = e.Type();
    pipe.max_packet = e.max_packet_size;
    pipe.interval = e.interval;
    pipe.maximum_transfer = info.MaximumTransferSize;
    port.pipes[handle] = std::move(pipe);
  }
}

void UsbBus::ApplySelection(Port& port, Transfer& selection,
                            std::vector<std::unique_ptr<Transfer>>& cancelled) {
  PURB urb = selection.urb;
  if (selection.work == UrbWork::kSelectInterface) {
    PUSBD_INTERFACE_INFORMATION record = &urb->UrbSelectInterface.Interface;
    const ParsedInterface* interface =
        port.configuration->Find(record->InterfaceNumber, record->AlternateSetting);
    RemovePipes(port, record->InterfaceNumber, cancelled);
    if (interface) FillInterface(port, record, *interface);
    return;
  }
  RemovePipes(port, -1, cancelled);
  if (!selection.selected) {
    // No descriptor: the device is unconfigured.
    port.configuration.reset();
    port.configuration_value = 0;
    port.configuration_handle = 0;
    urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
    return;
  }
  port.configuration = selection.selected;
  port.configuration_value = selection.selected->value;
  port.configuration_handle = NewHandle();
  auto records =
      InterfaceRecords(urb, kSelectConfigurationHeader, selection.selected->declared_interfaces);
  for (PUSBD_INTERFACE_INFORMATION record : records.value_or(decltype(records)::value_type())) {
    const ParsedInterface* interface =
        port.configuration->Find(record->InterfaceNumber, record->AlternateSetting);
    if (interface) FillInterface(port, record, *interface);
  }
  urb->UrbSelectConfiguration.ConfigurationHandle =
      reinterpret_cast<USBD_CONFIGURATION_HANDLE>(port.configuration_handle);
}

}  // namespace host::usb
