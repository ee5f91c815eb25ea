// The URB trace: every URB the bus serves, with its function, pipe, lengths, statuses, bytes and
// the virtual times of submission and completion. Written as text or as a USBPcap capture.
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/kernel/ticks.h"
#include "host/usb/setup_packet.h"
#include "platform/usb.h"

namespace host::usb {

// Transfer types, numbered as in a USBPcap capture.
enum class TransferType : uint8_t {
  kIsochronous = 0,
  kInterrupt = 1,
  kControl = 2,
  kBulk = 3,
  kIrpInfo = 0xFE,  // a request that moves no data on the bus (abort pipe, reset pipe, ...)
};

struct UrbRecord {
  uint64_t id = 0;  // given by the trace
  uint16_t bus = 1;
  uint16_t device = 0;    // the device's address on the bus
  uint16_t function = 0;  // URB_FUNCTION_*
  uint8_t endpoint = 0;   // bEndpointAddress; bit 0x80 for IN
  TransferType transfer = TransferType::kControl;
  std::optional<SetupPacket> setup;  // control transfers
  uint32_t requested_length = 0;     // TransferBufferLength at submission
  std::vector<uint8_t> out_data;     // host-to-device bytes, as submitted

  kernel::Ticks submitted = 0;
  bool completed = false;
  kernel::Ticks completed_at = 0;
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbd_status = USBD_STATUS_PENDING;
  uint32_t actual_length = 0;    // TransferBufferLength at completion
  std::vector<uint8_t> in_data;  // device-to-host bytes, as completed

  bool In() const { return endpoint & USB_ENDPOINT_DIRECTION_MASK; }
};

std::string UrbFunctionName(uint16_t function);

// Safe to call from any thread and from the interrupt context: the trace's lock is held only
// inside these members and never across a call out.
class UrbTrace {
 public:
  // Records a submission at `now`; returns the id that Completed() takes.
  uint64_t Submitted(UrbRecord record, kernel::Ticks now);
  // Records the completion of a submitted URB; unknown ids are ignored.
  void Completed(uint64_t id, kernel::Ticks now, NTSTATUS status, USBD_STATUS usbd_status,
                 uint32_t actual_length, std::span<const uint8_t> in_data);

  std::vector<UrbRecord> Records() const;
  size_t size() const;
  void Clear();

  // One line per URB.
  std::string Format() const;
  // A pcap file of link type USBPcap; false with a reason when it cannot be written.
  bool WritePcap(const std::string& path, std::string* error = nullptr) const;

 private:
  mutable std::mutex mu_;
  std::vector<UrbRecord> records_;
  std::unordered_map<uint64_t, size_t> index_;
  uint64_t next_id_ = 1;
};

}  // namespace host::usb
