// The power manager's side of system sleep and wake: system power requests to the top of each
// started device stack. Sleeping asks first (IRP_MN_QUERY_POWER) and then sets
// (IRP_MN_SET_POWER); a stack that refuses the query vetoes the sleep, and the stacks already
// asked get IRP_MN_SET_POWER for the working state. Waking sets the working state. Device power
// requests that drivers ask for with PoRequestPowerIrp are built and sent by the Po calls.
// The requests are sent from the power manager's own thread ("power manager"), one after the
// other, each waited for ("Handling System Power State Requests"); the caller, an emulated thread
// at PASSIVE_LEVEL, waits for that thread.
#pragma once

#include <string>
#include <vector>

#include "host/io/pnp_manager.h"

namespace host::io {

class PowerManager {
 public:
  PowerManager(IoManager& io, PnpManager& pnp) : io_(io), pnp_(pnp) {}

  NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
  SYSTEM_POWER_STATE state() const { return state_; }
  // One line per request sent: "IRP_MN_QUERY_POWER S4 0x00000000".
  const std::vector<std::string>& history() const { return history_; }
  // The device power state a device object last reported with PoSetPowerState.
  DEVICE_POWER_STATE DevicePower(PDEVICE_OBJECT device);

 private:
  NTSTATUS Send(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state);
  // In the power manager's thread.
  NTSTATUS Transition(SYSTEM_POWER_STATE state);

  IoManager& io_;
  PnpManager& pnp_;
  SYSTEM_POWER_STATE state_ = PowerSystemWorking;
  std::vector<std::string> history_;
};

}  // namespace host::io
