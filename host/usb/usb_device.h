// The device side of the USB bus: what a simulated USB device offers, and how the bus drives it.
//
// Who calls what
// - The bus owns the device from plug-in to unplug. It calls Attached() once when the device is
//   plugged in, then the other members, and Detached() once when the device leaves the bus.
// - Standard requests are the bus's: it answers GET_DESCRIPTOR from DeviceDescriptor(),
//   ConfigurationDescriptor() and StringDescriptor() (cutting the answer to wLength itself),
//   SET_CONFIGURATION with SetConfiguration(), SET_INTERFACE with SetInterface(), and
//   CLEAR_FEATURE(ENDPOINT_HALT) with ClearHalt(). The pipe information a selection reports
//   (endpoint addresses, types, intervals, packet sizes) comes from the configuration descriptor.
// - Every other request on the default pipe (vendor and class requests) goes to
//   ControlTransfer() with its setup packet and, for host-to-device requests, the data stage.
//   The default pipe carries one control transfer at a time.
// - Interrupt and bulk IN: while the bus holds an IN transfer for an endpoint, it calls PollIn()
//   once per poll: for an interrupt endpoint at each polling period of virtual time (bInterval
//   rounded down to a power of two, at most 32 ms, as on Windows), for a
//   bulk endpoint at each frame (1 ms). One call moves at most one packet (max_length bytes,
//   the endpoint's wMaxPacketSize). The bus completes an interrupt IN transfer with the first
//   ACKed packet (one packet per transfer); a bulk IN transfer ends with a short packet or when
//   its buffer is full. kNak means "nothing now, ask again at the next poll".
// - Interrupt and bulk OUT: the bus cuts the transfer into packets of wMaxPacketSize and offers
//   each with Out(), at the endpoint's polls like IN; kNak makes the bus offer the same packet
//   again at the next poll, kAck takes it, kStall halts the endpoint.
// - A stalled endpoint answers kStall until the bus calls ClearHalt() for it.
//
// Context
// - The bus calls every member from the kernel's interrupt context (a device event scheduled with
//   Kernel::ScheduleAt, or a DPC), at DISPATCH_LEVEL: a device may signal, schedule device
//   events and call the bus port, but must never wait. Device-side work that takes time (a
//   control request whose answer is late, bytes arriving on a serial line) is scheduled on the
//   kernel's virtual clock with Kernel::ScheduleAt / ScheduleAfter.
// - Completion on the virtual clock: ControlTransfer() hands the device a completion; the device
//   calls it exactly once, either before ControlTransfer() returns or later from its own device
//   event. The bus completes the URB at (or after) that moment. If the bus gives up the transfer
//   first (the URB was cancelled, the device was unplugged) it calls CancelControl(); afterwards
//   the device must not call that completion (the bus ignores a late one anyway).
// - A device leaves the bus on its own (a pulled cable, a configured fault) by calling
//   UsbBusPort::Unplug(); it may do so from inside any member the bus is calling. The bus then
//   fails every pending and later URB with STATUS_DEVICE_NOT_CONNECTED, calls nothing on the
//   device but Detached(), and calls Detached() after the current member has returned.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "host/usb/setup_packet.h"

namespace host::usb {

enum class UsbSpeed { kLow, kFull };

// The handshake a device gives to one transaction.
enum class Handshake { kAck, kNak, kStall };

struct ControlResult {
  Handshake handshake = Handshake::kAck;  // kAck or kStall (a control transfer is never NAKed)
  std::vector<uint8_t> data;              // device-to-host data stage, at most setup.length bytes
};
using ControlCompletion = std::function<void(ControlResult)>;

struct InPacket {
  Handshake handshake = Handshake::kNak;
  std::vector<uint8_t> data;  // with kAck: 0 to max_length bytes
};

// The bus's side, handed to the device in Attached().
class UsbBusPort {
 public:
  virtual ~UsbBusPort() = default;
  // The device leaves the bus (see above). Idempotent.
  virtual void Unplug() = 0;
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  virtual UsbSpeed Speed() const = 0;

  // The bus port stays valid until Detached().
  virtual void Attached(UsbBusPort* port) = 0;
  virtual void Detached() = 0;

  // Whole descriptors; nothing means the device stalls the request.
  virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
  virtual std::optional<std::vector<uint8_t>> ConfigurationDescriptor(uint8_t index) const = 0;
  virtual std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index,
                                                               uint16_t language_id) const = 0;

  // value 0 unconfigures the device. kStall for a value the device does not have.
  virtual Handshake SetConfiguration(uint8_t value) = 0;
  // kStall for a setting the current configuration does not have.
  virtual Handshake SetInterface(uint8_t interface_number, uint8_t alternate_setting) = 0;

  virtual void ControlTransfer(const SetupPacket& setup, std::span<const uint8_t> data_out,
                               ControlCompletion done) = 0;
  virtual void CancelControl() = 0;

  virtual InPacket PollIn(uint8_t endpoint_address, uint16_t max_length) = 0;
  virtual Handshake Out(uint8_t endpoint_address, std::span<const uint8_t> packet) = 0;
  virtual void ClearHalt(uint8_t endpoint_address) = 0;
};

}  // namespace host::usb
