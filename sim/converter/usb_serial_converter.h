// The simulated USB-to-serial converter: a low-speed USB device (host::usb::UsbDevice) on one
// side, the converter's end of a serial line (LinePort) on the other.
//
// - Vendor requests (converter_protocol.h) set the line's rate and framing, switch DTR and RTS,
//   purge the FIFOs and read the status ports; each completes after `control_latency`.
// - Bytes from the OUT endpoint wait in the transmit FIFO and go out on the line one character
//   at a time, at the line's rate. A packet that does not fit the FIFO is NAKed (the bus offers
//   it again at the next poll); the ready bit of status port 4 is clear while the FIFO has no
//   room for a whole packet.
// - Characters from the line wait in the receive FIFO for IN polls, up to one packet per poll;
//   characters that find it full are dropped and counted.
// - Faults for tests: control requests that never complete or stall, IN endpoints that never
//   deliver, stalled endpoints, unplugging at a virtual time, at a control request or at an IN
//   poll.
//
// All members run in the kernel's interrupt context or, in simulation, in any emulated thread
// (one runs at a time); none waits. The converter must outlive the machine's run or be destroyed
// after it, and the line port must outlive the converter.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/usb/usb_device.h"
#include "sim/converter/converter_descriptors.h"
#include "sim/converter/converter_protocol.h"
#include "sim/line_port.h"

namespace sim {

struct ConverterOptions {
  converter::DescriptorLayout layout = converter::StandardLayout();
  size_t transmit_fifo_size = 64;
  // The reader sends a whole T=1 block before it waits for the host, and at its fastest rate
  // (115200 bit/s, about ten times what 8-byte packets every 8 ms drain) nearly all of the block
  // waits here: the FIFO holds the longest block, 3 + 254 + 1 bytes, which 256 falls just short of.
  size_t receive_fifo_size = 512;
  bool offers_output_flow_control = true;  // status port 1
  bool close_stops_reading = false;        // status port 1
  bool flow_control_on = false;            // control register bit 0 at power-up
  uint16_t firmware_version = 0x0102;
  host::kernel::Ticks control_latency = host::kernel::Milliseconds(1);
  UartSettings initial_line{9600, 8, Parity::kNone, 1};
  // Characters received with a parity or framing error are counted and thrown away rather than
  // handed on (a converter chip set to discard them).
  bool discard_damaged = false;
  // What the converter answers for its configuration descriptor instead of the one its layout
  // builds (a converter whose descriptor memory holds something else): its transfers still follow
  // the layout.
  std::optional<std::vector<uint8_t>> configuration_answer;
};

enum class ControlFaultKind {
  kNeverComplete,  // the request is taken and never answered
  kStall,          // the request is answered with a stall
  kUnplug,         // the converter leaves the bus while the request is in progress
};

struct ControlFault {
  std::optional<uint8_t> request;  // bRequest to match; any when empty
  ControlFaultKind kind = ControlFaultKind::kNeverComplete;
  int count = 1;  // requests it applies to; -1 for every one
};

struct ConverterCounters {
  uint64_t bytes_transmitted = 0;  // characters handed to the line
  uint64_t bytes_received = 0;     // characters taken into the receive FIFO
  uint64_t receive_dropped = 0;    // characters lost to a full receive FIFO
  uint64_t receive_errors = 0;     // characters with parity or framing errors
  uint64_t out_naks = 0;           // OUT packets refused for want of room
  uint64_t control_requests = 0;
};

class UsbSerialConverter final : public host::usb::UsbDevice, public LineClient {
 public:
  UsbSerialConverter(host::kernel::Kernel& kernel, LinePort& line, ConverterOptions options = {});
  ~UsbSerialConverter() override;
  UsbSerialConverter(const UsbSerialConverter&) = delete;
  UsbSerialConverter& operator=(const UsbSerialConverter&) = delete;

  // --- host::usb::UsbDevice ---
  host::usb::UsbSpeed Speed() const override { return host::usb::UsbSpeed::kLow; }
  void Attached(host::usb::UsbBusPort* port) override;
  void Detached() override;
  std::vector<uint8_t> DeviceDescriptor() const override;
  std::optional<std::vector<uint8_t>> ConfigurationDescriptor(uint8_t index) const override;
  // Plain strings: every language id gets the same text.
  std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index,
                                                       uint16_t language_id) const override;
  host::usb::Handshake SetConfiguration(uint8_t value) override;
  host::usb::Handshake SetInterface(uint8_t interface_number, uint8_t alternate_setting) override;
  void ControlTransfer(const host::usb::SetupPacket& setup, std::span<const uint8_t> data_out,
                       host::usb::ControlCompletion done) override;
  void CancelControl() override;
  host::usb::InPacket PollIn(uint8_t endpoint_address, uint16_t max_length) override;
  host::usb::Handshake Out(uint8_t endpoint_address, std::span<const uint8_t> packet) override;
  void ClearHalt(uint8_t endpoint_address) override;

  // --- LineClient ---
  void OnCharacterReceived(uint8_t character, bool error) override;
  void OnTransmitDone() override;

  // --- faults ---
  void AddControlFault(ControlFault fault);
  // Control faults not yet met are dropped (a request already taken stays unanswered).
  void ClearControlFaults();
  // IN polls of the endpoint are NAKed while set, whatever the receive FIFO holds.
  void SetInHang(uint8_t endpoint_address, bool hang);
  // The endpoint answers with a stall until the bus clears the halt.
  void StallEndpoint(uint8_t endpoint_address);
  // Leaves the bus at virtual time `when`.
  void UnplugAt(host::kernel::Ticks when);
  // Leaves the bus during the nth IN poll from now (1 = the next), as in the middle of a
  // pending transfer.
  void UnplugOnInPoll(int nth);
  // Leaves the bus now (the cable is pulled).
  void Unplug();

  // --- what a test can see ---
  bool attached() const { return port_ != nullptr; }
  bool gone() const { return gone_; }
  uint8_t configuration() const { return configuration_; }
  uint8_t alternate_setting() const { return alternate_setting_; }
  const UartSettings& line_settings() const { return line_; }
  bool dtr() const { return dtr_; }
  bool rts() const { return rts_; }
  bool flow_control_on() const { return control_register_ & converter::kControlFlowControl; }
  uint16_t control_register() const { return control_register_; }
  const std::vector<uint8_t>& user_data() const { return user_data_; }
  size_t transmit_level() const { return transmit_fifo_.size(); }
  size_t receive_level() const { return receive_fifo_.size(); }
  const ConverterCounters& counters() const { return counters_; }
  bool control_pending() const { return pending_.has_value(); }
  bool halted(uint8_t endpoint_address) const { return halted_.contains(endpoint_address); }

 private:
  struct Pending {
    uint64_t generation;
    host::kernel::EventId event;  // 0 while nothing is scheduled
    host::usb::ControlCompletion done;
  };

  const host::usb::ParsedInterface* CurrentSetting() const;
  bool EndpointActive(uint8_t endpoint_address) const;
  std::optional<ControlFaultKind> TakeControlFault(uint8_t request);
  void Complete(uint64_t generation, host::usb::ControlResult result);
  // The reply of a request, or a stall; applies the request's effects.
  host::usb::ControlResult Execute(const host::usb::SetupPacket& setup,
                                   const std::vector<uint8_t>& data_out);
  host::usb::ControlResult SetLine(uint16_t value);
  host::usb::ControlResult SetModemLines(uint16_t value);
  host::usb::ControlResult Purge(uint16_t value);
  host::usb::ControlResult ReadPort(uint16_t port, uint16_t length);
  host::usb::ControlResult ReadCounters(uint16_t length);
  bool ReadyForData() const;
  void StartTransmitter();

  host::kernel::Kernel& kernel_;
  LinePort& line_port_;
  ConverterOptions options_;
  host::usb::Bytes device_descriptor_;
  host::usb::Bytes configuration_descriptor_;
  host::usb::ParsedConfiguration parsed_;

  host::usb::UsbBusPort* port_ = nullptr;
  bool gone_ = false;
  uint8_t configuration_ = 0;
  uint8_t alternate_setting_ = 0;
  std::set<uint8_t> halted_;

  UartSettings line_;
  bool dtr_ = false;
  bool rts_ = false;
  uint16_t control_register_ = 0;
  std::vector<uint8_t> user_data_;

  std::deque<uint8_t> transmit_fifo_;
  bool transmitting_ = false;
  std::deque<uint8_t> receive_fifo_;
  ConverterCounters counters_;

  std::optional<Pending> pending_;
  uint64_t next_generation_ = 1;

  std::vector<ControlFault> control_faults_;
  std::set<uint8_t> hanging_in_;
  int unplug_on_poll_ = 0;
  host::kernel::EventId unplug_event_ = 0;
};

}  // namespace sim
