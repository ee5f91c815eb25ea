// The Po calls: power IRPs a driver asks for, sending power IRPs, and the power state the
// power manager records per device.
#include <cstdio>

#include "host/io/state.h"

using host::io::IoManager;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoManager& io = IoManager::Current();
  host::io::LiveIrp(io, "PoCallDriver", Irp);
  if (Irp->CurrentLocation >= 2 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    io.kernel().BugCheck("PoCallDriver", "sending an IRP that is not IRP_MJ_POWER");
  }
  return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  IoManager& io = IoManager::Current();
  host::io::LiveIrp(io, "PoStartNextPowerIrp", Irp);
  if (Irp->CurrentLocation > Irp->StackCount ||
      IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    io.kernel().BugCheck("PoStartNextPowerIrp",
                         "called for an IRP that is not a power IRP a "
                         "driver holds");
  }
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
