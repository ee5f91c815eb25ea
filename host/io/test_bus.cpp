#include "host/io/test_bus.h"

namespace host::io {

TestBus::TestBus(IoManager& io, PnpManager& pnp) : BusDriver(io, u"\\Driver\\TestBus"), pnp_(pnp) {}

TestBus::~TestBus() = default;

PDEVICE_OBJECT TestBus::Plug(TestDevice device) {
  auto slot = std::make_unique<Slot>();
  slot->script = std::move(device);
  Slot* raw = slot.get();
  {
    std::lock_guard lock(mu_);
    slots_.push_back(std::move(slot));
  }
  PDEVICE_OBJECT pdo = CreatePdo(raw);
  if (!pdo) return nullptr;
  {
    std::lock_guard lock(mu_);
    by_pdo_[pdo] = raw;
  }
  pnp_.DeviceArrived(pdo, raw->script.hardware_id);
  return pdo;
}

void TestBus::FailKept(PDEVICE_OBJECT pdo) {
  std::vector<PIRP> failing;
  {
    std::lock_guard lock(mu_);
    for (auto& [irp, kept] : kept_) {
      if (kept.pdo == pdo) failing.push_back(irp);
    }
  }
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (PIRP irp : failing) {
    Kept kept;
    if (!Take(irp, &kept)) continue;
    io().kernel().CancelScheduled(kept.event);
    if (IoSetCancelRoutine(irp, nullptr)) Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  KeLowerIrql(irql);
}

void TestBus::Unplug(PDEVICE_OBJECT pdo) {
  MarkGone(pdo);
  FailKept(pdo);
  pnp_.DeviceGone(pdo);
}

void TestBus::UnplugAt(PDEVICE_OBJECT pdo, kernel::Ticks when) {
  io().kernel().ScheduleAt(when, [this, pdo] {
    MarkGone(pdo);
    FailKept(pdo);
    pnp_.ReportDeviceGone(pdo);
  });
}

bool TestBus::Take(PIRP irp, Kept* kept) {
  std::lock_guard lock(mu_);
  auto it = kept_.find(irp);
  if (it == kept_.end()) return false;
  if (kept) *kept = it->second;
  kept_.erase(it);
  return true;
}

size_t TestBus::kept() {
  std::lock_guard lock(mu_);
  return kept_.size();
}

NTSTATUS TestBus::CompleteLater(PDEVICE_OBJECT pdo, PIRP irp, kernel::Ticks delay, NTSTATUS status,
                                ULONG_PTR information) {
  IoMarkIrpPending(irp);
  {
    std::lock_guard lock(mu_);
    kernel::EventId event = io().kernel().ScheduleAfter(delay, [this, irp, status, information] {
      if (!Take(irp)) return;  // cancelled, or failed by an unplug
      // A cancel routine that got in first completes the request itself.
      if (IoSetCancelRoutine(irp, nullptr)) Complete(irp, status, information);
    });
    kept_[irp] = Kept{pdo, event};
  }
  IoSetCancelRoutine(irp, CancelKept);
  // Cancelled before the cancel routine was in place: nobody else will complete it.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    Kept kept;
    if (Take(irp, &kept)) io().kernel().CancelScheduled(kept.event);
    Complete(irp, STATUS_CANCELLED);
  }
  return STATUS_PENDING;
}

VOID TestBus::CancelKept(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* bus = static_cast<TestBus*>(Of(pdo));
  Kept kept;
  if (bus->Take(irp, &kept)) bus->io().kernel().CancelScheduled(kept.event);
  Complete(irp, STATUS_CANCELLED);
}

std::vector<std::string> TestBus::Log(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(mu_);
  auto it = by_pdo_.find(pdo);  // also after the PDO is gone
  return it == by_pdo_.end() ? std::vector<std::string>() : it->second->log;
}

void TestBus::Received(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  std::string line = MajorName(stack->MajorFunction);
  if (stack->MajorFunction == IRP_MJ_PNP || stack->MajorFunction == IRP_MJ_POWER) {
    line += ' ';
    line += MinorName(stack->MajorFunction, stack->MinorFunction);
  }
  std::lock_guard lock(mu_);
  static_cast<Slot*>(ContextOf(pdo))->log.push_back(line);
}

NTSTATUS TestBus::OnPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  auto* slot = static_cast<Slot*>(ContextOf(pdo));
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_START_DEVICE &&
      !NT_SUCCESS(slot->script.start_status)) {
    return Finish(irp, slot->script.start_status, completion().start_device_later);
  }
  return BusDriver::OnPnp(pdo, irp);
}

NTSTATUS TestBus::OnInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  auto* slot = static_cast<Slot*>(ContextOf(pdo));
  if (IsGone(pdo)) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  if (!slot->script.internal_device_control) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return slot->script.internal_device_control(pdo, irp);
}

void TestBus::FillCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities) {
  BusDriver::FillCapabilities(pdo, capabilities);
  capabilities.SurpriseRemovalOK = static_cast<Slot*>(ContextOf(pdo))->script.surprise_removal_ok;
}

}  // namespace host::io
