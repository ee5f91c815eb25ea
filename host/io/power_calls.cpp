// The Po calls: power IRPs a driver asks for, sending power IRPs, and the power state the
// power manager records per device; with the rules of Windows 2000 and XP for power IRPs
// ("Rules for Handling Power IRPs", "Calling PoStartNextPowerIrp", "PoCallDriver function
// (wdm.h)", "PoStartNextPowerIrp function (wdm.h)", "PoRequestPowerIrp function (wdm.h)"):
// - a driver calls PoStartNextPowerIrp once for each IRP_MN_SET_POWER and IRP_MN_QUERY_POWER it
//   receives, while the IRP's current stack location is its own: in its dispatch routine before
//   it passes the IRP down or completes it, or in the completion routine it set on the way down;
// - power IRPs go down with PoCallDriver;
// - a device object gets one system and one device power IRP at a time; PoCallDriver holds the
//   next of a kind back (returning STATUS_PENDING) until the driver holding the current one has
//   called PoStartNextPowerIrp;
// - a power-pageable device object (DO_POWER_PAGABLE) is called at PASSIVE_LEVEL: PoCallDriver
//   at DISPATCH_LEVEL hands the IRP to a power manager thread.
#include <cstdio>

#include "host/io/state.h"

namespace host::io {
namespace {

int Kind(PIRP irp) {
  return IoGetNextIrpStackLocation(irp)->Parameters.Power.Type == SystemPowerState
             ? SystemPowerState
             : DevicePowerState;
}

// Delivers a power IRP the power manager held back: in a thread of its own for a power-pageable
// device, from the bus's interrupt context for another.
void DeliverLater(IoManager& io, PDEVICE_OBJECT device, PIRP irp) {
  IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
  auto deliver = [device, irp] { CallDriver(device, irp, CallKind::kPowerHeldBack); };
  if (device->Flags & DO_POWER_PAGABLE) {
    io.kernel().Spawn("power manager", deliver);
  } else {
    io.kernel().ScheduleAfter(0, deliver);
  }
}

}  // namespace

std::string PowerIrpPassedDown(IrpRecord& record, PIRP irp) {
  // The sender is the driver that received the IRP last; none when it comes from its owner.
  if (!record.sent || !record.receiver) return {};
  IrpRecord::PowerHolder* holder = record.HolderOf(record.receiver);
  if (!holder || holder->started) return {};
  // Copied, the next location is below the sender's and may hold the sender's routine; skipped,
  // it is the sender's own.
  bool copied = irp->CurrentLocation == record.receiver_location;
  if (copied && IoGetNextIrpStackLocation(irp)->CompletionRoutine) {
    holder->deferred = true;
    return {};
  }
  return "passing " + record.Describe() + " down from device object " + Hex(record.receiver) +
         " without PoStartNextPowerIrp, and without a completion routine that could call it";
}

}  // namespace host::io

using host::io::IoManager;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoManager& io = IoManager::Current();
  auto record = host::io::LiveIrp(io, "PoCallDriver", Irp);
  if (Irp->CurrentLocation < 2 || IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    io.kernel().BugCheck("PoCallDriver", "sending an IRP that is not IRP_MJ_POWER");
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  bool later = false;
  if (host::io::IsSetOrQueryPower(next->MajorFunction, next->MinorFunction)) {
    auto& s = io.state();
    std::unique_lock lock(s.mu);
    std::string problem = host::io::PowerIrpPassedDown(*record, Irp);
    if (!problem.empty()) {
      lock.unlock();
      io.kernel().BugCheck("PoCallDriver", problem);
    }
    host::io::DeviceRecord* device = s.FindDeviceLocked(DeviceObject);
    if (device) {
      auto& queue = device->power_queues[host::io::Kind(Irp)];
      if (queue.active && queue.active != Irp) {
        queue.waiting.push_back(Irp);
        next->Control |= SL_PENDING_RETURNED;
        return STATUS_PENDING;
      }
      queue.active = Irp;
    }
  }
  later = (DeviceObject->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() >= DISPATCH_LEVEL;
  if (later) {
    host::io::DeliverLater(io, DeviceObject, Irp);
    return STATUS_PENDING;
  }
  return host::io::CallDriver(DeviceObject, Irp, host::io::CallKind::kPower);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  IoManager& io = IoManager::Current();
  auto record = host::io::LiveIrp(io, "PoStartNextPowerIrp", Irp);
  if (Irp->CurrentLocation > Irp->StackCount ||
      IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    io.kernel().BugCheck("PoStartNextPowerIrp",
                         "called for an IRP that is not a power IRP a "
                         "driver holds");
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (!host::io::IsSetOrQueryPower(stack->MajorFunction, stack->MinorFunction)) return;
  PDEVICE_OBJECT device = stack->DeviceObject;
  auto& s = io.state();
  PIRP next = nullptr;
  {
    std::unique_lock lock(s.mu);
    host::io::IrpRecord::PowerHolder* holder = record->HolderOf(device);
    if (holder && holder->started) {
      lock.unlock();
      io.kernel().BugCheck(
          "PoStartNextPowerIrp",
          "called twice by device object " + host::io::Hex(device) + " for " + record->Describe());
    }
    if (holder) holder->started = true;
    if (host::io::DeviceRecord* d = s.FindDeviceLocked(device)) {
      auto& queue =
          d->power_queues[stack->Parameters.Power.Type == SystemPowerState ? SystemPowerState
                                                                           : DevicePowerState];
      if (queue.active == Irp) {
        queue.active = nullptr;
        if (!queue.waiting.empty()) {
          next = queue.waiting.front();
          queue.waiting.pop_front();
          queue.active = next;
        }
      }
    }
  }
  if (next) host::io::DeliverLater(io, device, next);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  host::io::RequireIrql("PoSetPowerState", DISPATCH_LEVEL);
  auto& s = IoManager::Current().state();
  std::lock_guard lock(s.mu);
  POWER_STATE previous{};
  if (host::io::DeviceRecord* device = s.FindDeviceLocked(DeviceObject)) {
    POWER_STATE& kept = Type == DevicePowerState ? device->device_power : device->system_power;
    previous = kept;
    kept = State;
  }
  return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  host::io::RequireIrql("PoRequestPowerIrp", DISPATCH_LEVEL);
  IoManager& io = IoManager::Current();
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  PDEVICE_OBJECT top = io.AttachedDevice(DeviceObject);
  char origin[96];
  std::snprintf(origin, sizeof origin, "PoRequestPowerIrp %s state %d by %s",
                host::io::MinorName(IRP_MJ_POWER, MinorFunction).c_str(),
                int(PowerState.DeviceState),
                host::io::RoutineName(__builtin_return_address(0)).c_str());
  PIRP irp = io.AllocateSystemIrp(
      top->StackSize, origin,
      [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](PIRP irp) {
        if (CompletionFunction) {
          host::kernel::RoutineScope scope("power completion function",
                                           reinterpret_cast<const void*>(CompletionFunction));
          CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &irp->IoStatus);
        }
      });
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  if (Irp) *Irp = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

}  // extern "C"
