// The USB bus: ports, Plug and Play, submission of URBs, cancellation, unplugging and the
// completion of URBs.
#include "host/usb/usb_bus.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "host/usb/urb_describe.h"
#include "host/usb/usb_bus_port.h"
#include "platform/wdm.h"

namespace host::usb {

namespace {

constexpr size_t kVendorIdOffset = 8;
constexpr size_t kProductIdOffset = 10;

uint16_t Word(const std::vector<uint8_t>& bytes, size_t at) {
  return at + 1 < bytes.size() ? uint16_t(bytes[at] | bytes[at + 1] << 8) : 0;
}

// TransferBufferLength of the layouts that have one.
void SetTransferLength(URB& urb, uint32_t length) {
  switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
      urb.UrbControlTransfer.TransferBufferLength = length;
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      urb.UrbControlDescriptorRequest.TransferBufferLength = length;
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      urb.UrbControlVendorClassRequest.TransferBufferLength = length;
      break;
  }
}

}  // namespace

std::u16string UsbHardwareId(uint16_t vendor_id, uint16_t product_id) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor_id, product_id);
  return io::Widen(text);
}

// The polling period Windows gives an interrupt endpoint of a low- or full-speed device: bInterval
// rounded down to a power of two, at most 32 frames of 1 ms.
//   bInterval  1   2-3   4-7   8-15   16-31   32-255
//   period     1   2     4     8      16      32      (ms)
// Source: Microsoft's documentation of the USB_ENDPOINT_DESCRIPTOR structure (usbspec.h),
// Remarks, the table of polling periods for full- and low-speed interrupt endpoints. So a
// low-speed endpoint (bInterval 10 to 255 in USB 1.1) is polled every 8, 16 or 32 ms. The bus
// has no high-speed devices, whose bInterval is an exponent instead.
kernel::Ticks InterruptPollingPeriod(uint8_t interval) {
  constexpr uint8_t kLongestPeriod = 32;
  uint8_t period = 1;
  while (period < kLongestPeriod && period * 2 <= interval) period *= 2;
  return kernel::Milliseconds(period);
}

kernel::Ticks UsbPipe::Period() const {
  if (type != USB_ENDPOINT_TYPE_INTERRUPT) return kernel::Milliseconds(1);
  return InterruptPollingPeriod(interval);
}

std::optional<std::vector<PUSBD_INTERFACE_INFORMATION>> InterfaceRecords(PURB urb, size_t offset,
                                                                         size_t count) {
  std::vector<PUSBD_INTERFACE_INFORMATION> records;
  size_t end = urb->UrbHeader.Length;
  auto* base = reinterpret_cast<uint8_t*>(urb);
  for (size_t i = 0; i < count; ++i) {
    if (offset + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) > end) {
      return std::nullopt;
    }
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    if (record->Length < GET_USBD_INTERFACE_SIZE(0) || offset + record->Length > end) {
      return std::nullopt;
    }
    records.push_back(record);
    offset += record->Length;
  }
  return records;
}

// --- the bus ---

UsbBus::UsbBus(io::IoManager& io, io::PnpManager& pnp, UsbBusOptions options)
    : BusDriver(io, u"\\Driver\\usbhub"), pnp_(pnp), options_(options) {
  set_completion(options.completion);
  io.kernel().SetService<UsbBus>(this);
}

UsbBus::~UsbBus() {
  if (io().kernel().GetService<UsbBus>() == this) io().kernel().SetService<UsbBus>(nullptr);
}

UsbBus* UsbBus::Current() {
  kernel::Kernel* k = kernel::Kernel::CurrentOrNull();
  return k ? k->GetService<UsbBus>() : nullptr;
}

UsbBus::Port* UsbBus::PortOf(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(mu_);
  for (auto& port : ports_) {
    if (port->pdo == pdo) return port.get();
  }
  return nullptr;
}

PDEVICE_OBJECT UsbBus::Plug(UsbDevice& device, std::u16string hardware_id) {
  Port* port;
  {
    std::lock_guard lock(mu_);
    ports_.push_back(std::make_unique<Port>(*this, device, uint16_t(ports_.size() + 1)));
    port = ports_.back().get();
  }
  PDEVICE_OBJECT pdo = CreatePdo(port);
  if (!pdo) {
    std::lock_guard lock(mu_);
    port->gone = port->left_done = true;
    return nullptr;
  }
  {
    std::lock_guard lock(mu_);
    port->pdo = pdo;
  }
  // The model is only ever called from the bus's interrupt context.
  std::vector<uint8_t> descriptor;
  KEVENT attached;
  KeInitializeEvent(&attached, NotificationEvent, FALSE);
  io().kernel().ScheduleAfter(0, [&] {
    device.Attached(port);
    descriptor = device.DeviceDescriptor();
    KeSetEvent(&attached, IO_NO_INCREMENT, FALSE);
  });
  KeWaitForSingleObject(&attached, Executive, KernelMode, FALSE, nullptr);
  if (hardware_id.empty()) {
    hardware_id =
        UsbHardwareId(Word(descriptor, kVendorIdOffset), Word(descriptor, kProductIdOffset));
  }
  pnp_.DeviceArrived(pdo, hardware_id);
  return pdo;
}

void UsbBus::Unplug(PDEVICE_OBJECT pdo) {
  Port* port = PortOf(pdo);
  if (!port) return;
  {
    std::lock_guard lock(mu_);
    port->gone = true;
  }
  DeviceLeft(*port, false);
}

void UsbBus::Port::Unplug() {
  {
    std::lock_guard lock(bus.mu_);
    if (gone) return;
    gone = true;
  }
  bus.io().kernel().ScheduleAfter(0, [this] { bus.DeviceLeft(*this, true); });
}

void UsbBus::DeviceLeft(Port& port, bool report_from_event) {
  std::vector<std::unique_ptr<Transfer>> failing;
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard lock(mu_);
    if (port.left_done) return;
    port.left_done = true;
    failing = ClaimAll(port);
    for (auto& [handle, pipe] : port.pipes) {
      if (pipe.poll) io().kernel().CancelScheduled(pipe.poll);
      pipe.poll = 0;
    }
    pdo = port.pdo_deleted ? nullptr : port.pdo;
  }
  DeliverAll(std::move(failing), STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  io().kernel().ScheduleAfter(0, [&port] { port.device.Detached(); });
  if (!pdo) return;
  MarkGone(pdo);
  if (report_from_event) {
    pnp_.ReportDeviceGone(pdo);
  } else {
    pnp_.DeviceGone(pdo);
  }
}

uint16_t UsbBus::DeviceAddress(PDEVICE_OBJECT pdo) {
  Port* port = PortOf(pdo);
  return port ? port->address : 0;
}

size_t UsbBus::Pending(PDEVICE_OBJECT pdo) {
  Port* port = PortOf(pdo);
  std::lock_guard lock(mu_);
  return port ? port->live.size() : 0;
}

bool UsbBus::Present(PDEVICE_OBJECT pdo) {
  Port* port = PortOf(pdo);
  std::lock_guard lock(mu_);
  return port && !port->gone;
}

// --- Plug and Play ---

NTSTATUS UsbBus::OnPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_START_DEVICE) {
    // The hub brings the port up for a start, whatever power state the device was left in
    // before a stop: a started device is in D0.
    auto* port = static_cast<Port*>(ContextOf(pdo));
    std::lock_guard lock(mu_);
    if (port->powered_down) {
      port->powered_down = false;
      for (auto& [handle, pipe] : port->pipes) SchedulePoll(*port, handle);
    }
  }
  if (minor == IRP_MN_REMOVE_DEVICE) {
    auto* port = static_cast<Port*>(ContextOf(pdo));
    std::vector<std::unique_ptr<Transfer>> failing;
    bool gone;
    {
      std::lock_guard lock(mu_);
      port->removed = true;
      gone = port->gone;
      // The bus deletes the PDO of a device that has left.
      if (gone) port->pdo_deleted = true;
      failing = ClaimAll(*port);
    }
    DeliverAll(std::move(failing), gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_NO_SUCH_DEVICE,
               gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_REQUEST_FAILED);
  }
  return BusDriver::OnPnp(pdo, irp);
}

NTSTATUS UsbBus::OnPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER &&
      stack->Parameters.Power.Type == DevicePowerState) {
    auto* port = static_cast<Port*>(ContextOf(pdo));
    std::lock_guard lock(mu_);
    bool was_down = port->powered_down;
    port->powered_down = stack->Parameters.Power.State.DeviceState != PowerDeviceD0;
    if (was_down && !port->powered_down) {
      for (auto& [handle, pipe] : port->pipes) SchedulePoll(*port, handle);
    }
  }
  return BusDriver::OnPower(pdo, irp);
}

void UsbBus::FillCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities) {
  BusDriver::FillCapabilities(pdo, capabilities);
  auto* port = static_cast<Port*>(ContextOf(pdo));
  capabilities.Address = port->address;
  capabilities.UINumber = port->address;
  capabilities.SurpriseRemovalOK = FALSE;
}

// --- requests ---

NTSTATUS UsbBus::OnInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  auto* port = static_cast<Port*>(ContextOf(pdo));
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(*port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      if (!status) return Complete(irp, STATUS_INVALID_PARAMETER);
      bool present;
      {
        std::lock_guard lock(mu_);
        present = !port->gone;
      }
      *status = present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
      return Complete(irp, STATUS_SUCCESS);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS UsbBus::SubmitUrb(Port& port, PIRP irp, PURB urb) {
  if (!urb) return Complete(irp, STATUS_INVALID_PARAMETER);
  std::unique_lock lock(mu_);
  std::unique_ptr<Transfer> transfer = Prepare(port, urb);
  transfer->id = next_transfer_id_++;
  transfer->irp = irp;
  transfer->urb = urb;
  transfer->trace_id = trace_.Submitted(
      RecordUrbSubmission(*urb, port.address, transfer->endpoint, transfer->transfer_type),
      io().kernel().Now());
  if (transfer->refused != STATUS_SUCCESS) {
    lock.unlock();
    NTSTATUS status = transfer->refused;
    USBD_STATUS usbd = transfer->refused_usbd;
    transfer->moved = 0;
    Deliver(std::move(transfer), status, usbd);
    return status;
  }
  IoMarkIrpPending(irp);
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  Transfer* raw = transfer.get();
  port.live.push_back(std::move(transfer));
  IoSetCancelRoutine(irp, CancelUrb);
  // Cancelled before the cancel routine was in place: nobody else completes it.
  if (std::atomic_ref<BOOLEAN>(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr)) {
    std::unique_ptr<Transfer> cancelled = Retire(port, raw, true);
    lock.unlock();
    Deliver(std::move(cancelled), STATUS_CANCELLED, USBD_STATUS_CANCELED);
    return STATUS_PENDING;
  }
  Enqueue(port, raw);
  return STATUS_PENDING;
}

VOID UsbBus::CancelUrb(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* bus = static_cast<UsbBus*>(Of(pdo));
  auto* port = static_cast<Port*>(ContextOf(pdo));
  std::unique_ptr<Transfer> cancelled;
  bool at_next_frame = false;
  {
    std::lock_guard lock(bus->mu_);
    for (auto& t : port->live) {
      if (t->irp == irp) {
        // A queued transfer is simply dropped; one the host controller is working on is unlinked
        // at the next frame, and Windows lets either happen for a cancel ("IoCancelIrp function
        // (wdm.h)": the IRP completes in the cancel routine or later).
        at_next_frame = bus->IsActive(*port, *t) && bus->io().kernel().DrawFromSeed(2);
        cancelled = bus->Retire(*port, t.get(), true);
        break;
      }
    }
  }
  if (!cancelled) {
    // Whoever clears the cancel routine first completes the request; the routine ran, so the
    // request is still the bus's even if it is no longer listed.
    Complete(irp, STATUS_CANCELLED);
    return;
  }
  if (!at_next_frame) {
    bus->Deliver(std::move(cancelled), STATUS_CANCELLED, USBD_STATUS_CANCELED);
    return;
  }
  kernel::Kernel& k = bus->io().kernel();
  kernel::Ticks frame = kernel::Milliseconds(1);
  auto held = std::make_shared<std::unique_ptr<Transfer>>(std::move(cancelled));
  k.ScheduleAt((k.Now() / frame + 1) * frame, [bus, held] {
    bus->Deliver(std::move(*held), STATUS_CANCELLED, USBD_STATUS_CANCELED);
  });
}

bool UsbBus::IsActive(Port& port, Transfer& transfer) {
  if (port.control_active == &transfer) return true;
  if (transfer.work != UrbWork::kPipe) return false;
  auto pipe = port.pipes.find(transfer.pipe);
  return pipe != port.pipes.end() && !pipe->second.queue.empty() &&
         pipe->second.queue.front() == &transfer;
}

// --- queues (under mu_) ---

void UsbBus::Enqueue(Port& port, Transfer* transfer) {
  switch (transfer->work) {
    case UrbWork::kPipe: {
      UsbPipe& pipe = port.pipes.at(transfer->pipe);
      pipe.queue.push_back(transfer);
      if (pipe.queue.size() == 1) SchedulePoll(port, pipe.handle);
      return;
    }
    case UrbWork::kAbortPipe: {
      uint64_t id = transfer->id;
      io().kernel().ScheduleAfter(0, [this, &port, id] { AbortPipe(port, id); });
      return;
    }
    default:
      port.control_queue.push_back(transfer);
      ScheduleControl(port);
      return;
  }
}

std::unique_ptr<UsbBus::Transfer> UsbBus::Retire(Port& port, Transfer* transfer, bool cancelled) {
  std::unique_ptr<Transfer> owned;
  for (auto it = port.live.begin(); it != port.live.end(); ++it) {
    if (it->get() == transfer) {
      owned = std::move(*it);
      port.live.erase(it);
      break;
    }
  }
  if (port.control_active == transfer) {
    port.control_active = nullptr;
    if (port.control_event) io().kernel().CancelScheduled(port.control_event);
    port.control_event = 0;
    if (cancelled && transfer->work == UrbWork::kDeviceControl && !port.gone) {
      // The model is told in its own context; the next request waits for that.
      port.control_cancelling = true;
      io().kernel().ScheduleAfter(0, [this, &port] {
        port.device.CancelControl();
        std::lock_guard lock(mu_);
        port.control_cancelling = false;
        ScheduleControl(port);
      });
    } else {
      ScheduleControl(port);
    }
  }
  auto queued = std::find(port.control_queue.begin(), port.control_queue.end(), transfer);
  if (queued != port.control_queue.end()) port.control_queue.erase(queued);
  if (transfer->work == UrbWork::kPipe) {
    auto pipe = port.pipes.find(transfer->pipe);
    if (pipe != port.pipes.end()) {
      auto& queue = pipe->second.queue;
      bool head = !queue.empty() && queue.front() == transfer;
      queue.erase(std::remove(queue.begin(), queue.end(), transfer), queue.end());
      if (head) {
        if (pipe->second.poll) io().kernel().CancelScheduled(pipe->second.poll);
        pipe->second.poll = 0;
        if (!queue.empty()) SchedulePoll(port, pipe->first);
      }
    }
  }
  return owned;
}

void UsbBus::AbortPipe(Port& port, uint64_t abort_id) {
  std::vector<std::unique_ptr<Transfer>> aborted;
  std::unique_ptr<Transfer> abort;
  {
    std::lock_guard lock(mu_);
    Transfer* request = nullptr;
    std::vector<Transfer*> all;
    for (auto& t : port.live) {
      if (t->id == abort_id) request = t.get();
      all.push_back(t.get());
    }
    if (!request) return;
    for (Transfer* t : all) {
      if (t->work != UrbWork::kPipe || t->pipe != request->pipe) continue;
      if (auto mine = Claim(port, t)) aborted.push_back(std::move(mine));
    }
    abort = Claim(port, request);
  }
  DeliverAll(std::move(aborted), STATUS_CANCELLED, USBD_STATUS_CANCELED);
  if (abort) Deliver(std::move(abort), STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

std::unique_ptr<UsbBus::Transfer> UsbBus::Claim(Port& port, Transfer* transfer) {
  if (!IoSetCancelRoutine(transfer->irp, nullptr)) return nullptr;
  return Retire(port, transfer, false);
}

std::vector<std::unique_ptr<UsbBus::Transfer>> UsbBus::ClaimAll(Port& port) {
  std::vector<Transfer*> all;
  for (auto& t : port.live) all.push_back(t.get());
  std::vector<std::unique_ptr<Transfer>> claimed;
  for (Transfer* t : all) {
    if (auto mine = Claim(port, t)) claimed.push_back(std::move(mine));
  }
  return claimed;
}

// --- completion (no lock held) ---

void UsbBus::Deliver(std::unique_ptr<Transfer> transfer, NTSTATUS status, USBD_STATUS usbd_status) {
  URB& urb = *transfer->urb;
  urb.UrbHeader.Status = usbd_status;
  SetTransferLength(urb, transfer->moved);
  RecordUrbCompletion(trace_, transfer->trace_id, urb, status, io().kernel().Now());
  PIRP irp = transfer->irp;
  transfer.reset();
  Complete(irp, status);
}

void UsbBus::DeliverAll(std::vector<std::unique_ptr<Transfer>> transfers, NTSTATUS status,
                        USBD_STATUS usbd_status) {
  if (transfers.empty()) return;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (auto& t : transfers) Deliver(std::move(t), status, usbd_status);
  KeLowerIrql(irql);
}

}  // namespace host::usb
