// The host USB bus: the bus driver of the machine's USB ports. It owns the plugged-in devices
// (host::usb::UsbDevice models), makes a physical device object for each and hands it to the
// Plug and Play manager, and serves IRP_MJ_INTERNAL_DEVICE_CONTROL on it:
// IOCTL_INTERNAL_USB_SUBMIT_URB (below) and IOCTL_INTERNAL_USB_GET_PORT_STATUS.
//
// URBs. Every accepted URB is marked pending, is cancellable, and completes later from the bus's
// own context (a device event at DISPATCH_LEVEL) with Hdr.Status, the NTSTATUS of the IRP and,
// for transfers, TransferBufferLength = the bytes moved. A URB refused at submission (bad
// handle, bad length, unknown function, gone device) completes at once.
// - GET_DESCRIPTOR_FROM_DEVICE: device, configuration and string descriptors from the model, cut
//   to TransferBufferLength (at most 0xFFFF); other types and missing descriptors stall.
// - SELECT_CONFIGURATION: a NULL descriptor unconfigures the device; otherwise one interface
//   information record per bNumInterfaces of the client's descriptor, each looked up in that
//   descriptor by InterfaceNumber and AlternateSetting, is filled in (class, handles, pipes with
//   endpoint address, type, interval and packet size; MaximumTransferSize as the client set it)
//   and ConfigurationHandle returned. SELECT_INTERFACE does the same for one interface.
//   Selections replace the pipes of what they select; transfers pending on a replaced pipe end
//   with STATUS_CANCELLED.
// - Vendor and class requests (and CONTROL_TRANSFER that is not a standard request) go to
//   UsbDevice::ControlTransfer and complete when the device answers.
// - BULK_OR_INTERRUPT_TRANSFER on a pipe handle, in the endpoint's direction, at most the pipe's
//   MaximumTransferSize: the endpoint is polled on the periodic schedule, at the virtual times
//   that are whole multiples of its polling period (bulk: every 1 ms frame), the first poll
//   strictly after the transfer became the endpoint's current one. An interrupt endpoint's period
//   is the one Windows derives from bInterval (UsbPipe::Period: rounded down to a power of two,
//   at most 32 ms); the pipe information still reports bInterval as Interval. An interrupt IN
//   transfer completes with the first ACKed packet; a bulk IN transfer with a short packet or a
//   full buffer; OUT moves one packet per poll until all is sent. NAK waits for the next poll; a
//   stall halts the pipe (STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID) until RESET_PIPE. Transfers
//   on one pipe run one after another; short transfers always succeed.
// - ABORT_PIPE cancels the pipe's transfers; SYNC_RESET_PIPE(_AND_CLEAR_STALL) and
//   SYNC_CLEAR_STALL clear the halt; GET_CURRENT_FRAME_NUMBER reports the 1 ms frame.
// - The default pipe carries one control transfer at a time, in submission order; standard
//   requests the bus answers itself take UsbBusOptions::control_time.
// - A cancelled URB (IoCancelIrp) completes with STATUS_CANCELLED, USBD_STATUS_CANCELED and the
//   bytes moved before the cancel: a queued one at once, inside IoCancelIrp; one that is on the
//   bus (its pipe's current transfer, the default pipe's current request) either at once or at
//   the next 1 ms frame from the bus's context at DISPATCH_LEVEL, drawn from the seed
//   (Kernel::DrawFromSeed). Between IoCancelIrp's return and that completion the transfer is
//   still in flight, as on Windows.
// - A device that leaves the bus (Unplug, or UsbBusPort::Unplug from the model) fails its
//   pending and later URBs with STATUS_DEVICE_NOT_CONNECTED (USBD_STATUS_DEVICE_GONE) and is
//   reported to the Plug and Play manager. After IRP_MN_REMOVE_DEVICE of a device still present
//   its URBs fail with STATUS_NO_SUCH_DEVICE.
// - A device its driver has put into a low-power state (IRP_MN_SET_POWER, D1 to D3) sits on a
//   suspended port: a new URB fails at once with STATUS_DEVICE_POWERED_OFF
//   (USBD_STATUS_DEV_NOT_RESPONDING); a transfer pending on a pipe is held, its endpoint no longer
//   polled, until the return to D0 or a cancel.
// URBs are accepted whether or not the PDO has been started, so that tests can act as a driver
// on a device that has no function driver.
//
// Every URB goes into trace() (submission and completion with virtual times), which can be
// written as a USBPcap capture.
//
// Contexts and locks: dispatch runs in the sender's thread at PASSIVE_LEVEL or DISPATCH_LEVEL;
// the bus calls device models only from its device events. The bus's state is guarded by a host
// lock that is never held while a device model is called or an IRP completed.
//
// Lifetime: create the bus after the I/O and Plug and Play managers, before Kernel::Run; plugged
// devices must stay alive until they have been unplugged, and every device must be unplugged
// before the machine's run ends (their PDOs are device objects the I/O manager checks for).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/io/bus_driver.h"
#include "host/io/pnp_manager.h"
#include "host/usb/descriptors.h"
#include "host/usb/urb_trace.h"
#include "host/usb/usb_device.h"

namespace host::usb {

struct UsbBusOptions {
  // How long a standard request the bus answers itself (descriptors, selections, pipe resets)
  // takes on the default pipe.
  kernel::Ticks control_time = kernel::Milliseconds(1);
  // Which Plug and Play and power requests the bus completes later (host/io/bus_driver.h); a hub
  // completes IRP_MN_START_DEVICE and the return to D0 later.
  io::BusCompletion completion;
};

// How often an interrupt endpoint that asks for bInterval `interval` (ms) is polled: the period
// Windows derives from it, rounded down to a power of two, at most 32 ms (1 ms for 0).
kernel::Ticks InterruptPollingPeriod(uint8_t interval);

// Hardware id of a USB device for the Plug and Play manager: "USB\VID_F7A5&PID_0C01".
std::u16string UsbHardwareId(uint16_t vendor_id, uint16_t product_id);

class UsbBus final : public io::BusDriver {
 public:
  UsbBus(io::IoManager& io, io::PnpManager& pnp, UsbBusOptions options = {});
  ~UsbBus() override;

  // The bus of the calling thread's machine, or NULL.
  static UsbBus* Current();

  // Plugs the device into a new port: Attached(), a PDO, and the Plug and Play manager's arrival
  // (which loads and starts a registered function driver). Without hardware_id the device's own
  // (UsbHardwareId of its descriptor). Emulated thread at PASSIVE_LEVEL. NULL when the PDO cannot
  // be created.
  PDEVICE_OBJECT Plug(UsbDevice& device, std::u16string hardware_id = {});
  // Pulls the cable: pending and later URBs fail, the Plug and Play manager removes the stack,
  // the device gets Detached(). Emulated thread at PASSIVE_LEVEL.
  void Unplug(PDEVICE_OBJECT pdo);

  // The device's address on the bus (1, 2, ... in plug order); 0 for an unknown PDO.
  uint16_t DeviceAddress(PDEVICE_OBJECT pdo);
  // URBs of the device held by the bus now.
  size_t Pending(PDEVICE_OBJECT pdo);
  bool Present(PDEVICE_OBJECT pdo);

  UrbTrace& trace() { return trace_; }
  bool WritePcap(const std::string& path, std::string* error = nullptr) const {
    return trace_.WritePcap(path, error);
  }

  struct Port;
  struct Transfer;

 protected:
  NTSTATUS OnPnp(PDEVICE_OBJECT pdo, PIRP irp) override;
  NTSTATUS OnPower(PDEVICE_OBJECT pdo, PIRP irp) override;
  NTSTATUS OnInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override;
  void FillCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities) override;

 private:
  friend struct Port;

  NTSTATUS SubmitUrb(Port& port, PIRP irp, PURB urb);
  // Checks the URB (under mu_) and turns it into a transfer; a refused one says why.
  std::unique_ptr<Transfer> Prepare(Port& port, PURB urb);
  static VOID CancelUrb(PDEVICE_OBJECT pdo, PIRP irp);
  // Whether the host controller is working on the transfer now (under mu_).
  bool IsActive(Port& port, Transfer& transfer);

  // --- under mu_ ---
  // Starts the transfer's work: the default pipe's queue or the pipe's.
  void Enqueue(Port& port, Transfer* transfer);
  // Takes the transfer out of every queue and returns it; its successors move up.
  std::unique_ptr<Transfer> Retire(Port& port, Transfer* transfer, bool cancelled);
  // Retire, when the caller won the IRP from a cancel routine; NULL when a cancel is under way.
  std::unique_ptr<Transfer> Claim(Port& port, Transfer* transfer);
  std::vector<std::unique_ptr<Transfer>> ClaimAll(Port& port);
  void ScheduleControl(Port& port);
  void SchedulePoll(Port& port, uintptr_t pipe_handle);
  // Ends the pipes of one interface (-1: all); their transfers are claimed into `cancelled`.
  void RemovePipes(Port& port, int interface_number,
                   std::vector<std::unique_ptr<Transfer>>& cancelled);
  // Puts a selection into effect and fills in the URB's interface information.
  void ApplySelection(Port& port, Transfer& selection,
                      std::vector<std::unique_ptr<Transfer>>& cancelled);
  void FillInterface(Port& port, PUSBD_INTERFACE_INFORMATION record,
                     const ParsedInterface& interface);
  uintptr_t NewHandle();

  // --- device events (no lock held on entry) ---
  void StartControl(Port& port);
  void FinishStandard(Port& port, uint64_t generation);
  void ControlAnswered(Port& port, uint64_t generation, ControlResult result);
  void Poll(Port& port, uintptr_t pipe_handle, uint64_t transfer_id);
  void AbortPipe(Port& port, uint64_t abort_id);
  // The device left the bus: fail what is pending, Detached(), tell Plug and Play.
  void DeviceLeft(Port& port, bool report_from_event);

  // Fills in the URB's results, records the completion and completes the IRP. No lock held.
  void Deliver(std::unique_ptr<Transfer> transfer, NTSTATUS status, USBD_STATUS usbd_status);
  void DeliverAll(std::vector<std::unique_ptr<Transfer>> transfers, NTSTATUS status,
                  USBD_STATUS usbd_status);

  Port* PortOf(PDEVICE_OBJECT pdo);

  io::PnpManager& pnp_;
  UsbBusOptions options_;
  UrbTrace trace_;
  // Guards the ports' state. A host lock: never held while a device model is called, an IRP is
  // completed or the cancel spin lock is taken.
  std::mutex mu_;
  std::vector<std::unique_ptr<Port>> ports_;
  uint64_t next_transfer_id_ = 1;
  uintptr_t next_handle_ = 1;
};

}  // namespace host::usb
