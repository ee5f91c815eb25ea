#include "tools/usbip/exported_device.h"

#include <algorithm>

#include "platform/usb.h"

namespace tools::usbip {

namespace {

using host::usb::ControlResult;
using host::usb::Handshake;
using host::usb::SetupPacket;

constexpr uint8_t kDirectionInBit = 0x80;
constexpr uint8_t kEndpointNumberMask = 0x0F;
constexpr uint8_t kDescriptorIndexMask = 0xFF;
constexpr int kDescriptorTypeShift = 8;
constexpr size_t kStatusReplyLength = 2;
// Low- and full-speed interrupt endpoints are polled at their bInterval rounded down to a power
// of two, at most every 32 ms (the schedule Linux's OHCI and UHCI drivers and Windows keep).
constexpr uint8_t kLongestPollMs = 32;
constexpr host::kernel::Ticks kBulkPoll = host::kernel::Milliseconds(1);

host::kernel::Ticks PollingPeriod(uint8_t type, uint8_t interval) {
  if (type != USB_ENDPOINT_TYPE_INTERRUPT) return kBulkPoll;
  uint8_t ms = 1;
  while (ms * 2 <= std::min(interval, kLongestPollMs)) ms *= 2;
  return host::kernel::Milliseconds(ms);
}

ControlResult Stall() { return {Handshake::kStall, {}}; }
ControlResult Ack(std::vector<uint8_t> data = {}) { return {Handshake::kAck, std::move(data)}; }

}  // namespace

ExportedDevice::ExportedDevice(host::kernel::Kernel& kernel, std::string busid, uint32_t busnum,
                               uint32_t devnum)
    : kernel_(kernel), busid_(std::move(busid)), busnum_(busnum), devnum_(devnum) {}

ExportedDevice::~ExportedDevice() = default;

std::optional<DeviceRecord> ExportedDevice::Record() const {
  std::lock_guard lock(mu_);
  return record_;
}

void ExportedDevice::Schedule(host::kernel::Ticks delay, std::function<void()> fn) {
  uint64_t generation = plug_generation_;
  kernel_.ScheduleAfter(delay, [this, generation, fn = std::move(fn)] {
    if (generation == plug_generation_ && device_) fn();
  });
}

void ExportedDevice::UpdateRecord() {
  std::optional<DeviceRecord> record;
  if (device_ && !leaving_) {
    std::vector<uint8_t> d = device_->DeviceDescriptor();
    if (d.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
      USB_DEVICE_DESCRIPTOR dd;
      std::copy(d.begin(), d.begin() + sizeof dd, reinterpret_cast<uint8_t*>(&dd));
      DeviceRecord r;
      r.busid = busid_;
      r.path = "/sys/devices/platform/zarq7-usbip/usb" + std::to_string(busnum_) + "/" + busid_;
      r.busnum = busnum_;
      r.devnum = devnum_;
      r.speed = device_->Speed() == host::usb::UsbSpeed::kLow ? kSpeedLow : kSpeedFull;
      r.vendor_id = dd.idVendor;
      r.product_id = dd.idProduct;
      r.bcd_device = dd.bcdDevice;
      r.device_class = dd.bDeviceClass;
      r.device_subclass = dd.bDeviceSubClass;
      r.device_protocol = dd.bDeviceProtocol;
      r.configuration_value = configuration_;
      r.configurations = dd.bNumConfigurations;
      if (parsed_) {
        r.interfaces = parsed_->declared_interfaces;
        // The interfaces of the setting in use; setting 0 of each while unconfigured.
        for (const host::usb::ParsedInterface& i : parsed_->interfaces) {
          uint8_t alternate = configuration_ ? alternate_setting_ : 0;
          if (i.alternate_setting != alternate) continue;
          r.interface.push_back({i.interface_class, i.interface_subclass, i.interface_protocol});
        }
        r.interfaces = uint8_t(r.interface.size());
      }
      record = std::move(r);
    }
  }
  std::lock_guard lock(mu_);
  record_ = std::move(record);
}

void ExportedDevice::Plug(host::usb::UsbDevice* device) {
  if (device_) return;
  device_ = device;
  leaving_ = false;
  ++plug_generation_;
  configuration_ = 0;
  alternate_setting_ = 0;
  auto bytes = device->ConfigurationDescriptor(0);
  parsed_ = bytes ? host::usb::ParseConfiguration(*bytes) : std::nullopt;
  device->Attached(this);
  UpdateRecord();
}

void ExportedDevice::Remove() {
  if (!device_) return;
  DropAll(std::nullopt);
  sink_ = nullptr;
  Detach();
}

void ExportedDevice::Detach() {
  host::usb::UsbDevice* device = device_;
  device_ = nullptr;
  leaving_ = false;
  ++plug_generation_;
  UpdateRecord();
  device->Detached();
}

void ExportedDevice::Unplug() {
  if (!device_ || leaving_) return;
  leaving_ = true;
  UpdateRecord();
  // The device may be inside a call of ours: it is detached once that call has returned.
  Schedule(0, [this] {
    DropAll(kESHUTDOWN);
    if (sink_) sink_->Close();
    sink_ = nullptr;
    Detach();
  });
}

bool ExportedDevice::Import(UrbSink* sink) {
  if (!device_ || leaving_ || sink_) return false;
  sink_ = sink;
  // A host resets a device it enumerates: it starts unconfigured.
  if (configuration_) device_->SetConfiguration(0);
  configuration_ = 0;
  alternate_setting_ = 0;
  UpdateRecord();
  return true;
}

void ExportedDevice::Release(UrbSink* sink) {
  if (sink_ != sink) return;
  DropAll(std::nullopt);
  sink_ = nullptr;
}

void ExportedDevice::Reply(const UrbHeader& header, const std::vector<uint8_t>& data) {
  if (!sink_) return;
  auto head = header.Encode();
  std::vector<uint8_t> message(head.begin(), head.end());
  message.insert(message.end(), data.begin(), data.end());
  sink_->Send(std::move(message));
}

std::optional<ExportedDevice::EndpointInfo> ExportedDevice::FindEndpoint(uint8_t address) const {
  if (!parsed_ || !configuration_) return std::nullopt;
  for (const host::usb::ParsedInterface& i : parsed_->interfaces) {
    if (i.alternate_setting != alternate_setting_) continue;
    for (const host::usb::ParsedEndpoint& e : i.endpoints) {
      if (e.address != address) continue;
      uint8_t type = e.attributes & USB_ENDPOINT_TYPE_MASK;
      if (type != USB_ENDPOINT_TYPE_INTERRUPT && type != USB_ENDPOINT_TYPE_BULK) {
        return std::nullopt;
      }
      return EndpointInfo{type, e.max_packet_size, PollingPeriod(type, e.interval)};
    }
  }
  return std::nullopt;
}

void ExportedDevice::Submit(UrbSink* sink, const UrbHeader& header, std::vector<uint8_t> data) {
  if (sink != sink_) return;  // released already
  if (!device_ || leaving_) {
    Reply(UrbHeader::RetSubmit(header.seqnum, kENODEV, 0));
    return;
  }
  Urb urb;
  urb.seqnum = header.seqnum;
  urb.in = header.direction == kDirectionIn;
  urb.length = header.transfer_buffer_length();
  uint8_t number = uint8_t(header.ep & kEndpointNumberMask);
  if (urbs_.contains(urb.seqnum)) {
    Reply(UrbHeader::RetSubmit(header.seqnum, kEINVAL, 0));
    return;
  }
  if (number == 0) {
    urb.setup = SetupPacket::FromBytes(header.setup.data());
    urb.in = urb.setup.DeviceToHost();
    if (!urb.in) data.resize(std::min<size_t>(data.size(), urb.setup.length));
  } else {
    urb.endpoint = uint8_t(number | (urb.in ? kDirectionInBit : 0));
    if (!FindEndpoint(urb.endpoint)) {
      // No such endpoint in the setting in use: Linux refuses the URB so.
      Reply(UrbHeader::RetSubmit(header.seqnum, kENOENT, 0));
      return;
    }
  }
  if (!urb.in) urb.data = std::move(data);
  uint8_t queue = urb.endpoint;
  urbs_[urb.seqnum] = std::move(urb);
  queues_[queue].urbs.push_back(header.seqnum);
  Kick(queue);
}

void ExportedDevice::Unlink(UrbSink* sink, const UrbHeader& header) {
  if (sink != sink_) return;
  auto it = urbs_.find(header.unlink_seqnum());
  if (it == urbs_.end()) {
    // Completed already: its RET_SUBMIT went before this answer.
    Reply(UrbHeader::RetUnlink(header.seqnum, kStatusOk));
    return;
  }
  uint8_t queue_id = it->second.endpoint;
  Queue& queue = queues_[queue_id];
  bool head = !queue.urbs.empty() && queue.urbs.front() == it->first;
  if (head) {
    if (queue_id == kControlQueue && queue.control_active) {
      queue.control_active = false;
      ++control_generation_;
      device_->CancelControl();
    }
    if (queue.poll) kernel_.CancelScheduled(queue.poll);
    queue.poll = 0;
  }
  queue.urbs.erase(std::find(queue.urbs.begin(), queue.urbs.end(), it->first));
  urbs_.erase(it);
  Reply(UrbHeader::RetUnlink(header.seqnum, kECONNRESET));
  if (head) Kick(queue_id);
}

void ExportedDevice::Complete(uint32_t seqnum, int32_t status) {
  auto it = urbs_.find(seqnum);
  if (it == urbs_.end()) return;
  Urb& urb = it->second;
  Queue& queue = queues_[urb.endpoint];
  if (!queue.urbs.empty() && queue.urbs.front() == seqnum) queue.urbs.pop_front();
  uint32_t actual = urb.in ? uint32_t(urb.data.size()) : uint32_t(urb.sent);
  Reply(UrbHeader::RetSubmit(seqnum, status, actual), urb.in ? urb.data : std::vector<uint8_t>{});
  urbs_.erase(it);
}

void ExportedDevice::Kick(uint8_t queue_id) {
  Queue& queue = queues_[queue_id];
  if (queue.urbs.empty() || queue.poll || queue.control_active || !device_ || leaving_) return;
  if (queue_id == kControlQueue) {
    StartControl();
    return;
  }
  uint64_t generation = plug_generation_;
  queue.poll = kernel_.ScheduleAfter(0, [this, generation, queue_id] {
    if (generation != plug_generation_ || !device_) return;
    queues_[queue_id].poll = 0;
    Poll(queue_id);
  });
}

void ExportedDevice::StartControl() {
  Queue& queue = queues_[kControlQueue];
  Urb& urb = urbs_[queue.urbs.front()];
  queue.control_active = true;
  uint64_t generation = ++control_generation_;
  if (urb.setup.Type() == BMREQUEST_STANDARD) {
    std::optional<ControlResult> result = StandardRequest(urb);
    if (result) {
      ControlDone(generation, std::move(*result));
      return;
    }
  }
  device_->ControlTransfer(urb.setup, urb.data, [this, generation](ControlResult result) {
    ControlDone(generation, std::move(result));
  });
}

void ExportedDevice::ControlDone(uint64_t generation, ControlResult result) {
  if (generation != control_generation_ || !device_) return;  // unlinked or gone meanwhile
  Queue& queue = queues_[kControlQueue];
  queue.control_active = false;
  ++control_generation_;
  uint32_t seqnum = queue.urbs.front();
  Urb& urb = urbs_[seqnum];
  int32_t status = kStatusOk;
  if (result.handshake == Handshake::kAck) {
    if (urb.in) {
      result.data.resize(std::min<size_t>({result.data.size(), urb.setup.length, urb.length}));
      urb.data = std::move(result.data);
    } else {
      urb.sent = urb.data.size();
    }
  } else {
    status = kEPIPE;
  }
  Complete(seqnum, status);
  // The device may complete inside ControlTransfer: the next request starts from an event of
  // its own rather than inside the device's call.
  Schedule(0, [this] { Kick(kControlQueue); });
}

std::optional<ControlResult> ExportedDevice::StandardRequest(const Urb& urb) {
  const SetupPacket& s = urb.setup;
  switch (s.request) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      uint8_t index = uint8_t(s.value & kDescriptorIndexMask);
      std::optional<std::vector<uint8_t>> d;
      switch (s.value >> kDescriptorTypeShift) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
          d = device_->DeviceDescriptor();
          break;
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
          d = device_->ConfigurationDescriptor(index);
          break;
        case USB_STRING_DESCRIPTOR_TYPE:
          d = device_->StringDescriptor(index, s.index);
          break;
        default:
          break;
      }
      return d ? Ack(std::move(*d)) : Stall();
    }
    case USB_REQUEST_SET_CONFIGURATION: {
      uint8_t value = uint8_t(s.value);
      if (device_->SetConfiguration(value) != Handshake::kAck) return Stall();
      configuration_ = value;
      alternate_setting_ = 0;
      UpdateRecord();
      return Ack();
    }
    case USB_REQUEST_GET_CONFIGURATION:
      return Ack({configuration_});
    case USB_REQUEST_SET_INTERFACE: {
      uint8_t setting = uint8_t(s.value);
      if (!configuration_ || device_->SetInterface(uint8_t(s.index), setting) != Handshake::kAck) {
        return Stall();
      }
      alternate_setting_ = setting;
      UpdateRecord();
      return Ack();
    }
    case USB_REQUEST_GET_INTERFACE:
      if (!configuration_) return Stall();
      return Ack({alternate_setting_});
    case USB_REQUEST_GET_STATUS:
      // Bus powered, no remote wake-up; endpoints not halted as far as the host has seen.
      return Ack(std::vector<uint8_t>(kStatusReplyLength, 0));
    case USB_REQUEST_CLEAR_FEATURE:
      if (s.Recipient() == BMREQUEST_TO_ENDPOINT && s.value == USB_FEATURE_ENDPOINT_STALL) {
        device_->ClearHalt(uint8_t(s.index));
      }
      return Ack();
    case USB_REQUEST_SET_FEATURE:
    case USB_REQUEST_SET_ADDRESS:
      // The address is the server's business, not the importer's.
      return Ack();
    default:
      return Stall();
  }
}

void ExportedDevice::Poll(uint8_t endpoint) {
  Queue& queue = queues_[endpoint];
  if (queue.urbs.empty() || leaving_) return;
  std::optional<EndpointInfo> info = FindEndpoint(endpoint);
  uint32_t seqnum = queue.urbs.front();
  if (!info) {
    Complete(seqnum, kENOENT);  // the setting changed under it
    Kick(endpoint);
    return;
  }
  Urb& urb = urbs_[seqnum];
  bool done = false;
  int32_t status = kStatusOk;
  if (urb.in) {
    host::usb::InPacket p = device_->PollIn(endpoint, info->max_packet);
    if (leaving_) return;
    if (p.handshake == Handshake::kStall) {
      done = true;
      status = kEPIPE;
    } else if (p.handshake == Handshake::kAck) {
      size_t room = urb.length - urb.data.size();
      urb.data.insert(urb.data.end(), p.data.begin(),
                      p.data.begin() + long(std::min(room, p.data.size())));
      done = p.data.size() < info->max_packet || urb.data.size() >= urb.length;
    }
  } else {
    size_t n = std::min<size_t>(info->max_packet, urb.data.size() - urb.sent);
    std::span<const uint8_t> packet(urb.data.data() + urb.sent, n);
    Handshake h = device_->Out(endpoint, packet);
    if (leaving_) return;
    if (h == Handshake::kStall) {
      done = true;
      status = kEPIPE;
    } else if (h == Handshake::kAck) {
      urb.sent += n;
      done = urb.sent >= urb.data.size();
    }
  }
  if (done) Complete(seqnum, status);
  if (queue.urbs.empty()) return;
  uint64_t generation = plug_generation_;
  queue.poll = kernel_.ScheduleAfter(info->period, [this, generation, endpoint] {
    if (generation != plug_generation_ || !device_) return;
    queues_[endpoint].poll = 0;
    Poll(endpoint);
  });
}

void ExportedDevice::DropAll(std::optional<int32_t> status) {
  for (auto& [id, queue] : queues_) {
    if (queue.poll) kernel_.CancelScheduled(queue.poll);
    queue.poll = 0;
    if (queue.control_active && device_) device_->CancelControl();
    queue.control_active = false;
  }
  ++control_generation_;
  if (status) {
    for (auto& [seqnum, urb] : urbs_) {
      Reply(UrbHeader::RetSubmit(seqnum, *status, 0));
    }
  }
  urbs_.clear();
  queues_.clear();
}

}  // namespace tools::usbip
