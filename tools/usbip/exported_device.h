// One simulated USB device as a USB/IP server exports it: the bus port it is plugged into, and
// the URBs of the one connection that imported it. The server plays the host controller: it
// answers the standard requests from the device's descriptors, hands vendor and class requests
// to the device, and polls interrupt and bulk endpoints at their intervals for as long as a
// transfer is queued on them, so that an IN transfer pends until data comes or it is unlinked.
//
// Context: every member but Record() and busid() runs in the machine's interrupt context (a
// device event, Kernel::ScheduleAt), where the device's own events run too, so device and
// server state need no lock of their own. Record() takes mu_ and may be called from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/usb/descriptors.h"
#include "host/usb/usb_device.h"
#include "tools/usbip/usbip_protocol.h"

namespace tools::usbip {

// Where an imported device's answers go: the connection that imported it.
class UrbSink {
 public:
  virtual ~UrbSink() = default;
  // One whole message (a RET header and its data). Never waits.
  virtual void Send(std::vector<uint8_t> message) = 0;
  // The device left the bus: the connection ends once what was sent before has left.
  virtual void Close() = 0;
};

class ExportedDevice final : public host::usb::UsbBusPort {
 public:
  ExportedDevice(host::kernel::Kernel& kernel, std::string busid, uint32_t busnum, uint32_t devnum);
  ~ExportedDevice() override;
  ExportedDevice(const ExportedDevice&) = delete;
  ExportedDevice& operator=(const ExportedDevice&) = delete;

  const std::string& busid() const { return busid_; }
  // Any thread: what OP_REP_DEVLIST and OP_REP_IMPORT say of it; nothing while it is unplugged.
  std::optional<DeviceRecord> Record() const;

  // The device goes onto the bus (powered, unconfigured). Until it leaves, `device` must live.
  void Plug(host::usb::UsbDevice* device);
  // The device leaves the bus now, as at shutdown: its URBs are dropped without an answer.
  void Remove();
  bool plugged() const { return device_ != nullptr; }

  // --- host::usb::UsbBusPort: the device leaves on its own (or is pulled) ---
  // Every URB of the importer fails with -ESHUTDOWN, later ones with -ENODEV, and the
  // importer's connection is closed, as the Linux server does when its device is disconnected.
  void Unplug() override;

  // --- the importing connection ---
  // False when the device is not on the bus or is imported already. An import starts from a
  // bus reset: the device is unconfigured.
  bool Import(UrbSink* sink);
  // The connection ended: its URBs are given up without an answer.
  void Release(UrbSink* sink);
  // CMD_SUBMIT with its OUT data.
  void Submit(UrbSink* sink, const UrbHeader& header, std::vector<uint8_t> data);
  // CMD_UNLINK: RET_UNLINK with -ECONNRESET and no RET_SUBMIT when the URB was still pending,
  // with 0 when it had completed already.
  void Unlink(UrbSink* sink, const UrbHeader& header);

 private:
  static constexpr uint8_t kControlQueue = 0;

  struct Urb {
    uint32_t seqnum = 0;
    uint8_t endpoint = 0;  // endpoint address with its direction bit; 0 for the default pipe
    bool in = false;
    uint32_t length = 0;        // transfer_buffer_length
    std::vector<uint8_t> data;  // OUT: what to send; IN: what came
    size_t sent = 0;            // OUT bytes the device took
    host::usb::SetupPacket setup;
  };
  struct Queue {
    std::deque<uint32_t> urbs;  // seqnums, the head in progress
    host::kernel::EventId poll = 0;
    bool control_active = false;
  };
  struct EndpointInfo {
    uint8_t type = 0;
    uint16_t max_packet = 0;
    host::kernel::Ticks period = 0;
  };

  void Schedule(host::kernel::Ticks delay, std::function<void()> fn);
  void UpdateRecord();
  std::optional<EndpointInfo> FindEndpoint(uint8_t address) const;
  void Complete(uint32_t seqnum, int32_t status);
  void Reply(const UrbHeader& header, const std::vector<uint8_t>& data = {});
  // Starts the queue's head when nothing is in progress on it.
  void Kick(uint8_t queue);
  void StartControl();
  void ControlDone(uint64_t generation, host::usb::ControlResult result);
  std::optional<host::usb::ControlResult> StandardRequest(const Urb& urb);
  void Poll(uint8_t endpoint);
  // Drops every URB; with `status` each gets its RET_SUBMIT first.
  void DropAll(std::optional<int32_t> status);
  void Detach();

  host::kernel::Kernel& kernel_;
  const std::string busid_;
  const uint32_t busnum_;
  const uint32_t devnum_;

  host::usb::UsbDevice* device_ = nullptr;
  bool leaving_ = false;  // Unplug() seen, Detached() not yet called
  uint64_t plug_generation_ = 0;
  std::optional<host::usb::ParsedConfiguration> parsed_;
  uint8_t configuration_ = 0;
  uint8_t alternate_setting_ = 0;

  UrbSink* sink_ = nullptr;
  std::map<uint32_t, Urb> urbs_;
  std::map<uint8_t, Queue> queues_;
  uint64_t control_generation_ = 0;

  mutable std::mutex mu_;  // guards record_; taken alone, never across a device call
  std::optional<DeviceRecord> record_;
};

}  // namespace tools::usbip
