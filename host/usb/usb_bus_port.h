// The USB bus's inner records: one Port per plugged-in device with its configuration, pipes,
// default-pipe queue and the URBs it holds. Shared by the bus's source files only.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/usb/descriptors.h"
#include "host/usb/usb_bus.h"

namespace host::usb {

enum class UrbWork : uint8_t {
  kDescriptor,           // GET_DESCRIPTOR answered by the bus from the model
  kSelectConfiguration,  // SET_CONFIGURATION, then the interface information
  kSelectInterface,      // SET_INTERFACE, then the interface information
  kDeviceControl,        // vendor and class requests: the model answers
  kResetPipe,            // CLEAR_FEATURE(ENDPOINT_HALT) on the default pipe
  kAbortPipe,            // the pipe's transfers end, then this one
  kPipe,                 // bulk or interrupt transfer on a pipe
};

// One URB the bus has accepted, from submission to completion.
struct UsbBus::Transfer {
  uint64_t id = 0;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  uint64_t trace_id = 0;
  UrbWork work = UrbWork::kDeviceControl;
  // A URB refused at submission completes at once with these.
  NTSTATUS refused = STATUS_SUCCESS;
  USBD_STATUS refused_usbd = USBD_STATUS_SUCCESS;

  uintptr_t pipe = 0;  // pipe transfers and pipe requests
  uint8_t endpoint = 0;
  TransferType transfer_type = TransferType::kControl;

  SetupPacket setup;                            // control requests
  std::vector<uint8_t> data_out;                // host-to-device data stage, copied at submission
  std::optional<std::vector<uint8_t>> answer;   // a descriptor, as the model gave it
  std::optional<ParsedConfiguration> selected;  // the client's configuration descriptor

  uint8_t* buffer = nullptr;
  uint32_t requested = 0;
  uint32_t moved = 0;
  bool in = false;
};

struct UsbPipe {
  uintptr_t handle = 0;
  uint8_t interface_number = 0;
  uint8_t endpoint = 0;
  uint8_t type = USB_ENDPOINT_TYPE_INTERRUPT;
  uint16_t max_packet = 0;
  uint8_t interval = 1;
  ULONG maximum_transfer = 0;  // as the client set it; 0 = no limit of its own
  bool halted = false;
  std::deque<UsbBus::Transfer*> queue;  // the first one is on the bus
  kernel::EventId poll = 0;
  bool In() const { return endpoint & USB_ENDPOINT_DIRECTION_MASK; }
  // Time between polls: the period Windows derives from bInterval for interrupt endpoints, one
  // frame for bulk ones.
  kernel::Ticks Period() const;
};

struct UsbBus::Port final : UsbBusPort {
  Port(UsbBus& bus, UsbDevice& device, uint16_t address)
      : bus(bus), device(device), address(address) {}
  // The model leaves the bus; the rest happens in a device event of the bus.
  void Unplug() override;

  UsbBus& bus;
  UsbDevice& device;
  const uint16_t address;
  PDEVICE_OBJECT pdo = nullptr;
  bool gone = false;          // no more calls to the model but Detached()
  bool left_done = false;     // pending URBs failed, Detached() scheduled, Plug and Play told
  bool removed = false;       // IRP_MN_REMOVE_DEVICE seen
  bool pdo_deleted = false;   // removed while gone: the PDO is no more
  bool powered_down = false;  // a device power state other than D0: the port is suspended

  uint8_t configuration_value = 0;  // 0: not configured
  uintptr_t configuration_handle = 0;
  std::optional<ParsedConfiguration> configuration;
  std::map<uintptr_t, UsbPipe> pipes;

  // The default pipe: one control transfer on the bus at a time.
  std::deque<Transfer*> control_queue;
  Transfer* control_active = nullptr;
  uint64_t control_generation = 0;
  kernel::EventId control_event = 0;
  bool control_start_scheduled = false;
  bool control_cancelling = false;  // the model still has to hear of a cancelled request

  std::list<std::unique_ptr<Transfer>> live;  // in submission order
};

// The interface information records of a selection URB, checked against the URB's length;
// nothing when one does not fit.
std::optional<std::vector<PUSBD_INTERFACE_INFORMATION>> InterfaceRecords(PURB urb, size_t offset,
                                                                         size_t count);

}  // namespace host::usb
