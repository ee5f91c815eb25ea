#include "host/io/power_manager.h"

#include "host/io/state.h"
#include "host/io/system_irp.h"

namespace host::io {

NTSTATUS PowerManager::Send(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state) {
  // The stacks were listed when the transition began, and each request is waited for; a device
  // removed meanwhile has left the tree (Windows holds removals off its device list while a
  // transition walks it) and gets nothing more.
  if (!node.pdo || node.state == DeviceState::kRemoved) return STATUS_SUCCESS;
  PDEVICE_OBJECT top = io_.AttachedDevice(node.pdo);
  POWER_ACTION action = state == PowerSystemWorking     ? PowerActionNone
                        : state == PowerSystemShutdown  ? PowerActionShutdown
                        : state == PowerSystemHibernate ? PowerActionHibernate
                                                        : PowerActionSleep;
  SystemResult result = SendSystemIrp(
      io_, top, "power manager " + MinorName(IRP_MJ_POWER, minor), IRP_MJ_POWER, minor,
      [&](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.Power.Type = SystemPowerState;
        next->Parameters.Power.State.SystemState = state;
        next->Parameters.Power.ShutdownType = action;
      },
      /*must_succeed=*/true);
  history_.push_back(MinorName(IRP_MJ_POWER, minor) + " S" + std::to_string(int(state) - 1) + " " +
                     StatusName(result.status));
  return result.status;
}

NTSTATUS PowerManager::SetSystemPowerState(SYSTEM_POWER_STATE state) {
  RequireIrql("SetSystemPowerState", PASSIVE_LEVEL);
  NTSTATUS status = STATUS_SUCCESS;
  PKTHREAD worker = io_.kernel().Spawn("power manager", [&] { status = Transition(state); });
  KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
  return status;
}

NTSTATUS PowerManager::Transition(SYSTEM_POWER_STATE state) {
  std::vector<DeviceNode*> stacks;
  for (DeviceNode* node : pnp_.Nodes()) {
    if (node->state == DeviceState::kStarted) stacks.push_back(node);
  }
  if (state != PowerSystemWorking) {
    std::vector<DeviceNode*> asked;
    for (DeviceNode* node : stacks) {
      NTSTATUS status = Send(*node, IRP_MN_QUERY_POWER, state);
      asked.push_back(node);
      if (!NT_SUCCESS(status)) {
        for (DeviceNode* back : asked) Send(*back, IRP_MN_SET_POWER, state_);
        return status;
      }
    }
  }
  for (DeviceNode* node : stacks) Send(*node, IRP_MN_SET_POWER, state);
  state_ = state;
  return STATUS_SUCCESS;
}

DEVICE_POWER_STATE PowerManager::DevicePower(PDEVICE_OBJECT device) {
  auto& s = io_.state();
  std::lock_guard lock(s.mu);
  DeviceRecord* record = s.FindDeviceLocked(device);
  return record ? record->device_power.DeviceState : PowerDeviceUnspecified;
}

}  // namespace host::io
