#include "sim/converter/usb_serial_converter.h"

#include <algorithm>
#include <bit>

namespace sim {

using host::usb::ControlResult;
using host::usb::Handshake;
using host::usb::InPacket;
using host::usb::SetupPacket;
using namespace sim::converter;

namespace {

constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kVendorRequestType = BMREQUEST_VENDOR << 5;
constexpr uint8_t kLanguageString = 0;

ControlResult Stall() { return {Handshake::kStall, {}}; }
ControlResult Ack(std::vector<uint8_t> data = {}) { return {Handshake::kAck, std::move(data)}; }

// Levels fit a word; counts keep their low 16 bits, as a 16-bit register that wraps.
void Put16(std::vector<uint8_t>& reply, int at, uint64_t value) {
  uint16_t v = uint16_t(value);
  reply[at] = uint8_t(v);
  reply[at + 1] = uint8_t(v >> 8);
}

// The reply cut to the length the host asked for.
ControlResult Reply(std::vector<uint8_t> reply, uint16_t length) {
  if (reply.size() > length) reply.resize(length);
  return Ack(std::move(reply));
}

std::optional<uint32_t> RateForBit(uint16_t bit) {
  switch (bit) {
    case kRate1200:
      return 1200;
    case kRate9600:
      return 9600;
    case kRate19200:
      return 19200;
    case kRate28800:
      return 28800;
    case kRate38400:
      return 38400;
    case kRate57600:
      return 57600;
    case kRate115200:
      return 115200;
  }
  return std::nullopt;
}

}  // namespace

UsbSerialConverter::UsbSerialConverter(host::kernel::Kernel& kernel, LinePort& line,
                                       ConverterOptions options)
    : kernel_(kernel),
      line_port_(line),
      options_(std::move(options)),
      device_descriptor_(converter::BuildDeviceDescriptor(options_.layout)),
      configuration_descriptor_(converter::BuildConfigurationDescriptor(options_.layout)),
      parsed_(*host::usb::ParseConfiguration(configuration_descriptor_)),
      line_(options_.initial_line),
      control_register_(options_.flow_control_on ? kControlFlowControl : 0) {
  line_port_.Connect(this);
  line_port_.SetLineSettings(line_);
  line_port_.SetModemLines(dtr_, rts_);
}

UsbSerialConverter::~UsbSerialConverter() {
  if (pending_ && pending_->event) kernel_.CancelScheduled(pending_->event);
  if (unplug_event_) kernel_.CancelScheduled(unplug_event_);
  line_port_.Connect(nullptr);
}

// --- bus side ---

void UsbSerialConverter::Attached(host::usb::UsbBusPort* port) {
  port_ = port;
  gone_ = false;
}

void UsbSerialConverter::Detached() {
  port_ = nullptr;
  gone_ = true;
  configuration_ = 0;
  CancelControl();
  if (unplug_event_) kernel_.CancelScheduled(unplug_event_);
  unplug_event_ = 0;
  // Without bus power the converter's end of the line goes quiet: modem lines drop, and what
  // waited to be sent or read is lost.
  transmit_fifo_.clear();
  receive_fifo_.clear();
  dtr_ = rts_ = false;
  line_port_.SetModemLines(dtr_, rts_);
}

std::vector<uint8_t> UsbSerialConverter::DeviceDescriptor() const { return device_descriptor_; }

std::optional<std::vector<uint8_t>> UsbSerialConverter::ConfigurationDescriptor(
    uint8_t index) const {
  if (index != 0) return std::nullopt;
  if (options_.configuration_answer) return *options_.configuration_answer;
  return configuration_descriptor_;
}

std::optional<std::vector<uint8_t>> UsbSerialConverter::StringDescriptor(uint8_t index,
                                                                         uint16_t) const {
  const DescriptorLayout& l = options_.layout;
  switch (index) {
    case kLanguageString: {
      const uint16_t languages[] = {host::usb::kLanguageEnglishUs};
      return host::usb::BuildLanguageDescriptor(languages);
    }
    case kManufacturerString:
      return host::usb::BuildStringDescriptor(l.manufacturer);
    case kProductString:
      return host::usb::BuildStringDescriptor(l.product);
    case kSerialString:
      return host::usb::BuildStringDescriptor(l.serial_number);
  }
  return std::nullopt;
}

Handshake UsbSerialConverter::SetConfiguration(uint8_t value) {
  if (value != 0 && value != kConfigurationValue) return Handshake::kStall;
  configuration_ = value;
  alternate_setting_ = 0;
  halted_.clear();
  return Handshake::kAck;
}

Handshake UsbSerialConverter::SetInterface(uint8_t interface_number, uint8_t alternate_setting) {
  if (configuration_ == 0 || !parsed_.Find(interface_number, alternate_setting)) {
    return Handshake::kStall;
  }
  alternate_setting_ = alternate_setting;
  halted_.clear();
  return Handshake::kAck;
}

const host::usb::ParsedInterface* UsbSerialConverter::CurrentSetting() const {
  if (configuration_ == 0) return nullptr;
  return parsed_.Find(kInterfaceNumber, alternate_setting_);
}

bool UsbSerialConverter::EndpointActive(uint8_t endpoint_address) const {
  const host::usb::ParsedInterface* setting = CurrentSetting();
  if (!setting) return false;
  return std::any_of(setting->endpoints.begin(), setting->endpoints.end(),
                     [&](const auto& e) { return e.address == endpoint_address; });
}

// --- control transfers ---

std::optional<ControlFaultKind> UsbSerialConverter::TakeControlFault(uint8_t request) {
  for (auto it = control_faults_.begin(); it != control_faults_.end(); ++it) {
    if (it->request && *it->request != request) continue;
    ControlFaultKind kind = it->kind;
    if (it->count > 0 && --it->count == 0) control_faults_.erase(it);
    return kind;
  }
  return std::nullopt;
}

void UsbSerialConverter::ControlTransfer(const SetupPacket& setup,
                                         std::span<const uint8_t> data_out,
                                         host::usb::ControlCompletion done) {
  if (pending_) {
    kernel_.BugCheck("UsbSerialConverter::ControlTransfer",
                     "a control transfer while another one is in progress on the default pipe");
  }
  ++counters_.control_requests;
  uint64_t generation = next_generation_++;
  pending_ = Pending{generation, 0, std::move(done)};
  std::optional<ControlFaultKind> fault = TakeControlFault(setup.request);
  if (fault == ControlFaultKind::kNeverComplete) return;
  if (fault == ControlFaultKind::kUnplug) {
    Unplug();
    return;
  }
  std::vector<uint8_t> data(data_out.begin(), data_out.end());
  pending_->event = kernel_.ScheduleAfter(
      options_.control_latency, [this, generation, setup, data, stall = fault.has_value()] {
        Complete(generation, stall ? Stall() : Execute(setup, data));
      });
}

void UsbSerialConverter::Complete(uint64_t generation, ControlResult result) {
  if (!pending_ || pending_->generation != generation) return;
  host::usb::ControlCompletion done = std::move(pending_->done);
  pending_.reset();
  done(std::move(result));
}

void UsbSerialConverter::CancelControl() {
  if (!pending_) return;
  if (pending_->event) kernel_.CancelScheduled(pending_->event);
  pending_.reset();
}

ControlResult UsbSerialConverter::Execute(const SetupPacket& setup,
                                          const std::vector<uint8_t>& data_out) {
  if (gone_ || (setup.request_type & kRequestTypeMask) != kVendorRequestType) return Stall();
  bool in = setup.DeviceToHost();
  switch (setup.request) {
    case kRequestLineSettings:
      return in || setup.length ? Stall() : SetLine(setup.value);
    case kRequestModemLines:
      return in || setup.length ? Stall() : SetModemLines(setup.value);
    case kRequestPurge:
      return in || setup.length ? Stall() : Purge(setup.value);
    case kRequestCounters:
      return in ? ReadCounters(setup.length) : Stall();
    case kRequestPort:
      if (in) return ReadPort(setup.value, setup.length);
      if (setup.length == 0) {
        control_register_ = setup.value;
        return Ack();
      }
      if (data_out.size() > kUserDataSize) return Stall();
      user_data_ = data_out;
      return Ack();
  }
  return Stall();
}

ControlResult UsbSerialConverter::SetLine(uint16_t value) {
  uint16_t rate_bits = value & kRateMask;
  uint16_t stop = value & kStopBitsMask;
  uint16_t parity = value & kParityMask;
  if (value & ~(kRateMask | kFramingMask)) return Stall();
  if (std::popcount(rate_bits) > 1 || std::popcount(stop) > 1 || std::popcount(parity) > 1) {
    return Stall();
  }
  UartSettings next = line_;
  if (rate_bits) {
    std::optional<uint32_t> rate = RateForBit(rate_bits);
    if (!rate) return Stall();
    next.bit_rate = *rate;
  }
  if (stop) next.stop_bits = stop == kStopBitsTwo ? 2 : 1;
  if (parity) {
    next.parity = parity == kParityEven  ? Parity::kEven
                  : parity == kParityOdd ? Parity::kOdd
                                         : Parity::kNone;
  }
  if (next != line_) {
    line_ = next;
    line_port_.SetLineSettings(line_);
  }
  return Ack();
}

ControlResult UsbSerialConverter::SetModemLines(uint16_t value) {
  if (value & ~kModemLinesMask) return Stall();
  if ((value & kDtrOn && value & kDtrOff) || (value & kRtsOn && value & kRtsOff)) return Stall();
  bool dtr = value & kDtrOn ? true : value & kDtrOff ? false : dtr_;
  bool rts = value & kRtsOn ? true : value & kRtsOff ? false : rts_;
  if (dtr != dtr_ || rts != rts_) {
    dtr_ = dtr;
    rts_ = rts;
    line_port_.SetModemLines(dtr_, rts_);
  }
  return Ack();
}

ControlResult UsbSerialConverter::Purge(uint16_t value) {
  if (value & ~kPurgeMask) return Stall();
  bool receive = value & kPurgeReceive;
  bool transmit = value & kPurgeTransmit;
  if (receive) receive_fifo_.clear();
  if (transmit) transmit_fifo_.clear();
  if (receive || transmit) line_port_.Purge(receive, transmit);
  return Ack();
}

bool UsbSerialConverter::ReadyForData() const {
  return options_.transmit_fifo_size - transmit_fifo_.size() >= kPacketSize;
}

ControlResult UsbSerialConverter::ReadPort(uint16_t port, uint16_t length) {
  std::vector<uint8_t> reply(kReplyLength, 0);
  switch (port) {
    case kPortCapabilities:
      if (options_.offers_output_flow_control) {
        reply[kCapabilitiesByte] |= kCapabilityOutputFlowControl;
      }
      if (options_.close_stops_reading) reply[kCapabilitiesByte] |= kCapabilityCloseStopsReading;
      break;
    case kPortIdentity:
      Put16(reply, kIdentityFirmwareByte, options_.firmware_version);
      Put16(reply, kIdentityControlByte, control_register_);
      break;
    case kPortFlow:
      if (flow_control_on()) reply[kFlowStateByte] |= kFlowControlOn;
      if (ReadyForData()) reply[kFlowReadyByte] |= kFlowReadyForData;
      break;
    default:
      return Stall();
  }
  return Reply(std::move(reply), length);
}

ControlResult UsbSerialConverter::ReadCounters(uint16_t length) {
  std::vector<uint8_t> reply(kReplyLength, 0);
  Put16(reply, kCounterReceiveLevel, receive_fifo_.size());
  Put16(reply, kCounterReceiveDropped, counters_.receive_dropped);
  Put16(reply, kCounterTransmitLevel, transmit_fifo_.size());
  Put16(reply, kCounterReceiveErrors, counters_.receive_errors);
  return Reply(std::move(reply), length);
}

// --- pipes ---

InPacket UsbSerialConverter::PollIn(uint8_t endpoint_address, uint16_t max_length) {
  if (gone_) return {Handshake::kNak, {}};
  if (unplug_on_poll_ > 0 && --unplug_on_poll_ == 0) {
    Unplug();
    return {Handshake::kNak, {}};
  }
  if (!EndpointActive(endpoint_address) || halted_.contains(endpoint_address)) {
    return {Handshake::kStall, {}};
  }
  if (hanging_in_.contains(endpoint_address)) return {Handshake::kNak, {}};
  if (endpoint_address != options_.layout.data_in_endpoint || receive_fifo_.empty()) {
    return {Handshake::kNak, {}};
  }
  size_t n = std::min<size_t>({receive_fifo_.size(), max_length, kPacketSize});
  InPacket packet{Handshake::kAck, {receive_fifo_.begin(), receive_fifo_.begin() + n}};
  receive_fifo_.erase(receive_fifo_.begin(), receive_fifo_.begin() + n);
  return packet;
}

Handshake UsbSerialConverter::Out(uint8_t endpoint_address, std::span<const uint8_t> packet) {
  if (gone_) return Handshake::kNak;
  if (!EndpointActive(endpoint_address) || halted_.contains(endpoint_address) ||
      packet.size() > kPacketSize) {
    return Handshake::kStall;
  }
  if (endpoint_address != options_.layout.data_out_endpoint) return Handshake::kAck;
  if (options_.transmit_fifo_size - transmit_fifo_.size() < packet.size()) {
    ++counters_.out_naks;
    return Handshake::kNak;
  }
  transmit_fifo_.insert(transmit_fifo_.end(), packet.begin(), packet.end());
  StartTransmitter();
  return Handshake::kAck;
}

void UsbSerialConverter::ClearHalt(uint8_t endpoint_address) { halted_.erase(endpoint_address); }

// --- line side ---

void UsbSerialConverter::StartTransmitter() {
  if (transmitting_ || transmit_fifo_.empty() || gone_) return;
  uint8_t character = transmit_fifo_.front();
  transmit_fifo_.pop_front();
  transmitting_ = true;
  ++counters_.bytes_transmitted;
  line_port_.Transmit(character);
}

void UsbSerialConverter::OnTransmitDone() {
  transmitting_ = false;
  StartTransmitter();
}

void UsbSerialConverter::OnCharacterReceived(uint8_t character, bool error) {
  if (gone_) return;
  if (error) ++counters_.receive_errors;
  if (error && options_.discard_damaged) return;
  if (receive_fifo_.size() >= options_.receive_fifo_size) {
    ++counters_.receive_dropped;
    return;
  }
  receive_fifo_.push_back(character);
  ++counters_.bytes_received;
}

// --- faults ---

void UsbSerialConverter::AddControlFault(ControlFault fault) { control_faults_.push_back(fault); }

void UsbSerialConverter::ClearControlFaults() { control_faults_.clear(); }

void UsbSerialConverter::SetInHang(uint8_t endpoint_address, bool hang) {
  if (hang) {
    hanging_in_.insert(endpoint_address);
  } else {
    hanging_in_.erase(endpoint_address);
  }
}

void UsbSerialConverter::StallEndpoint(uint8_t endpoint_address) {
  halted_.insert(endpoint_address);
}

void UsbSerialConverter::UnplugAt(host::kernel::Ticks when) {
  if (unplug_event_) kernel_.CancelScheduled(unplug_event_);
  unplug_event_ = kernel_.ScheduleAt(when, [this] {
    unplug_event_ = 0;
    Unplug();
  });
}

void UsbSerialConverter::UnplugOnInPoll(int nth) { unplug_on_poll_ = nth; }

void UsbSerialConverter::Unplug() {
  if (gone_) return;
  if (port_) {
    // The bus answers with Detached() once the call that is in progress has returned.
    gone_ = true;
    port_->Unplug();
  } else {
    Detached();
  }
}

}  // namespace sim
