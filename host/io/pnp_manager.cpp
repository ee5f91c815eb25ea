#include "host/io/pnp_manager.h"

#include <cstring>

#include "host/io/state.h"
#include "host/io/system_irp.h"
#include "platform/ex.h"

namespace host::io {

namespace {

// The Plug and Play manager's own requests are not lost to a pool shortage: a removal that never
// reached the driver would leave its device and threads behind for good, which Windows does not
// do (as the power manager's requests, they come from must-succeed allocations here).
constexpr bool kNeverFailsForPool = true;

constexpr UCHAR kWdm110 = 0x10;  // the first WDM version with surprise removal (Windows 2000)

}  // namespace

const char* DeviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::kNoDriver:
      return "no driver";
    case DeviceState::kAddFailed:
      return "AddDevice failed";
    case DeviceState::kAdded:
      return "added";
    case DeviceState::kStarted:
      return "started";
    case DeviceState::kStartFailed:
      return "start failed";
    case DeviceState::kStopped:
      return "stopped";
    case DeviceState::kSurpriseRemoved:
      return "surprise-removed";
    case DeviceState::kRemoved:
      return "removed";
  }
  return "?";
}

PnpManager::PnpManager(IoManager& io) : io_(io) {
  io_.SetLastCloseHook([this](PDEVICE_OBJECT top) { OnLastClose(top); });
}

PnpManager::~PnpManager() { io_.SetLastCloseHook(nullptr); }

void PnpManager::RegisterDriver(std::u16string hardware_id, PDRIVER_OBJECT driver) {
  drivers_.emplace_back(UpperKey(hardware_id), driver);
}

DeviceNode* PnpManager::Find(PDEVICE_OBJECT pdo) {
  for (auto& node : nodes_) {
    if (node->pdo == pdo) return node.get();
  }
  return nullptr;
}

std::vector<DeviceNode*> PnpManager::Nodes() {
  std::vector<DeviceNode*> nodes;
  for (auto& node : nodes_) nodes.push_back(node.get());
  return nodes;
}

void PnpManager::Send(DeviceNode& node, PDEVICE_OBJECT target, UCHAR minor, NTSTATUS* status) {
  SystemResult result =
      SendSystemIrp(io_, target, "Plug and Play manager " + MinorName(IRP_MJ_PNP, minor),
                    IRP_MJ_PNP, minor, nullptr, kNeverFailsForPool);
  node.history.push_back(MinorName(IRP_MJ_PNP, minor) + " " + StatusName(result.status));
  node.last_status = result.status;
  if (status) *status = result.status;
}

void PnpManager::QueryCapabilities(DeviceNode& node, PDEVICE_OBJECT target) {
  DEVICE_CAPABILITIES capabilities;
  std::memset(&capabilities, 0, sizeof capabilities);
  capabilities.Size = sizeof capabilities;
  capabilities.Version = 1;
  capabilities.Address = ULONG(-1);
  capabilities.UINumber = ULONG(-1);
  SystemResult result = SendSystemIrp(
      io_, target, "Plug and Play manager IRP_MN_QUERY_CAPABILITIES", IRP_MJ_PNP,
      IRP_MN_QUERY_CAPABILITIES,
      [&](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
      },
      kNeverFailsForPool);
  node.history.push_back("IRP_MN_QUERY_CAPABILITIES " + StatusName(result.status));
  if (NT_SUCCESS(result.status)) node.capabilities = capabilities;
}

DeviceNode* PnpManager::DeviceArrived(PDEVICE_OBJECT pdo, std::u16string hardware_id) {
  RequireIrql("DeviceArrived", PASSIVE_LEVEL);
  auto owned = std::make_unique<DeviceNode>();
  DeviceNode& node = *owned;
  nodes_.push_back(std::move(owned));
  node.pdo = pdo;
  node.top = pdo;
  node.hardware_id = hardware_id;
  io_.ReferenceDevice(pdo);
  QueryCapabilities(node, pdo);
  std::u16string key = UpperKey(hardware_id);
  for (auto& [id, driver] : drivers_) {
    if (id == key) node.driver = driver;
  }
  if (!node.driver) {
    node.state = DeviceState::kNoDriver;
    return &node;
  }
  PDRIVER_ADD_DEVICE add = node.driver->DriverExtension->AddDevice;
  NTSTATUS status = STATUS_NOT_IMPLEMENTED;
  if (add) {
    kernel::RoutineScope scope("AddDevice routine", reinterpret_cast<const void*>(add));
    status = add(node.driver, pdo);
  }
  node.history.push_back("AddDevice " + StatusName(status));
  node.last_status = status;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    io_.kernel().BugCheck("AddDevice", "returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  // "Writing an AddDevice Routine": the routine clears DO_DEVICE_INITIALIZING on the device
  // objects it attaches, or no request reaches them.
  for (PDEVICE_OBJECT device = pdo->AttachedDevice; NT_SUCCESS(status) && device;
       device = device->AttachedDevice) {
    if (device->Flags & DO_DEVICE_INITIALIZING) {
      io_.kernel().BugCheck("AddDevice",
                            "AddDevice routine " + RoutineName(reinterpret_cast<const void*>(add)) +
                                " left DO_DEVICE_INITIALIZING set on device object " + Hex(device));
    }
  }
  if (!NT_SUCCESS(status)) {
    node.state = DeviceState::kAddFailed;
    return &node;
  }
  node.state = DeviceState::kAdded;
  StartDevice(&node);
  return &node;
}

NTSTATUS PnpManager::StartDevice(DeviceNode* node) {
  if (node->state != DeviceState::kAdded && node->state != DeviceState::kStopped) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  node->top = io_.AttachedDevice(node->pdo);
  NTSTATUS status;
  Send(*node, node->top, IRP_MN_START_DEVICE, &status);
  if (!NT_SUCCESS(status)) {
    // A stack that cannot start is taken down again.
    SendRemove(*node);
    node->state = DeviceState::kStartFailed;
    node->last_status = status;
    return status;
  }
  node->state = DeviceState::kStarted;
  // After a start the Plug and Play manager asks the stack what it can do, what state it is in
  // and what it has below it ("IRP_MN_START_DEVICE", "IRP_MN_QUERY_PNP_DEVICE_STATE",
  // "IRP_MN_QUERY_DEVICE_RELATIONS"): requests a function driver passes down.
  QueryCapabilities(*node, node->top);
  SystemResult state =
      SendSystemIrp(io_, node->top, "Plug and Play manager IRP_MN_QUERY_PNP_DEVICE_STATE",
                    IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, kNeverFailsForPool);
  node->history.push_back("IRP_MN_QUERY_PNP_DEVICE_STATE " + StatusName(state.status));
  node->pnp_device_state = NT_SUCCESS(state.status) ? ULONG(state.information) : 0;
  SystemResult relations = SendSystemIrp(
      io_, node->top, "Plug and Play manager IRP_MN_QUERY_DEVICE_RELATIONS", IRP_MJ_PNP,
      IRP_MN_QUERY_DEVICE_RELATIONS,
      [](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.QueryDeviceRelations.Type = BusRelations;
      },
      kNeverFailsForPool);
  node->history.push_back("IRP_MN_QUERY_DEVICE_RELATIONS " + StatusName(relations.status));
  // A DEVICE_RELATIONS list, had the stack reported children, is the caller's to free.
  if (NT_SUCCESS(relations.status) && relations.information) {
    ExFreePool(reinterpret_cast<PVOID>(relations.information));
  }
  return status;
}

NTSTATUS PnpManager::StopDevice(DeviceNode* node) {
  if (node->state != DeviceState::kStarted) return STATUS_INVALID_DEVICE_STATE;
  node->top = io_.AttachedDevice(node->pdo);
  NTSTATUS status;
  Send(*node, node->top, IRP_MN_QUERY_STOP_DEVICE, &status);
  if (!NT_SUCCESS(status)) {
    Send(*node, node->top, IRP_MN_CANCEL_STOP_DEVICE);
    node->last_status = status;
    return status;
  }
  Send(*node, node->top, IRP_MN_STOP_DEVICE, &status);
  node->state = DeviceState::kStopped;
  return status;
}

NTSTATUS PnpManager::RemoveDevice(DeviceNode* node) {
  switch (node->state) {
    case DeviceState::kSurpriseRemoved:
      if (io_.OpenFiles(node->top)) {
        node->remove_pending = true;
        return STATUS_PENDING;
      }
      SendRemove(*node);
      return node->last_status;
    case DeviceState::kAdded:
    case DeviceState::kStarted:
    case DeviceState::kStopped: {
      node->top = io_.AttachedDevice(node->pdo);
      if (io_.OpenFiles(node->top)) return STATUS_DEVICE_BUSY;
      NTSTATUS status;
      Send(*node, node->top, IRP_MN_QUERY_REMOVE_DEVICE, &status);
      if (!NT_SUCCESS(status)) {
        Send(*node, node->top, IRP_MN_CANCEL_REMOVE_DEVICE);
        node->last_status = status;
        return status;
      }
      SendRemove(*node);
      return node->last_status;
    }
    default:
      return STATUS_INVALID_DEVICE_STATE;
  }
}

void PnpManager::SurpriseRemoveDevice(DeviceNode* node) {
  if (node->state != DeviceState::kAdded && node->state != DeviceState::kStarted &&
      node->state != DeviceState::kStopped) {
    return;
  }
  node->top = io_.AttachedDevice(node->pdo);
  if (!io_.WdmVersionAvailable(1, kWdm110)) {
    // Windows 98 and Me have no surprise removal: a device that is gone is removed at once,
    // handles open or not ("IRP_MN_SURPRISE_REMOVAL": not on Windows 98/Me).
    SendRemove(*node);
    return;
  }
  io_.SetSurpriseRemoval(node->pdo, true);
  Send(*node, node->top, IRP_MN_SURPRISE_REMOVAL);
  node->state = DeviceState::kSurpriseRemoved;
  io_.DisableInterfacesOf(node->pdo);
  RemoveDevice(node);
}

void PnpManager::SendRemove(DeviceNode& node) {
  node.remove_pending = false;
  io_.SetSurpriseRemoval(node.pdo, false);
  node.top = io_.AttachedDevice(node.pdo);
  Send(node, node.top, IRP_MN_REMOVE_DEVICE);
  node.state = DeviceState::kRemoved;
  io_.DisableInterfacesOf(node.pdo);
  if (node.gone) ReleaseNode(node);
}

void PnpManager::ReleaseNode(DeviceNode& node) {
  if (!node.pdo) return;
  PDEVICE_OBJECT pdo = node.pdo;
  node.pdo = nullptr;
  node.top = nullptr;
  io_.DereferenceDevice(pdo);
}

void PnpManager::OnLastClose(PDEVICE_OBJECT top) {
  for (auto& node : nodes_) {
    if (node->remove_pending && node->top == top) SendRemove(*node);
  }
}

void PnpManager::DeviceGone(PDEVICE_OBJECT pdo) {
  RequireIrql("DeviceGone", PASSIVE_LEVEL);
  DeviceNode* node = Find(pdo);
  if (!node) return;
  node->gone = true;
  switch (node->state) {
    case DeviceState::kAdded:
    case DeviceState::kStarted:
    case DeviceState::kStopped:
      SurpriseRemoveDevice(node);
      break;
    case DeviceState::kSurpriseRemoved:
      break;  // removal follows the last close
    default:
      // Nothing of the stack is left but the PDO: its bus deletes it on this request.
      Send(*node, pdo, IRP_MN_REMOVE_DEVICE);
      ReleaseNode(*node);
      break;
  }
}

void PnpManager::ReportDeviceGone(PDEVICE_OBJECT pdo) {
  PKTHREAD worker = io_.kernel().Spawn("Plug and Play manager", [this, pdo] { DeviceGone(pdo); });
  std::lock_guard lock(workers_mu_);
  workers_.push_back(worker);
}

void PnpManager::WaitIdle() {
  for (;;) {
    PKTHREAD worker;
    {
      std::lock_guard lock(workers_mu_);
      if (workers_.empty()) return;
      worker = workers_.front();
      workers_.erase(workers_.begin());
    }
    KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
  }
}

}  // namespace host::io
