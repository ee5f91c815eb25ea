// The Plug and Play manager: for each physical device object a bus reports, it finds the
// function driver registered for the hardware id, calls its AddDevice, and sends the stack its
// Plug and Play requests in the documented orders:
//   arrival          IRP_MN_QUERY_CAPABILITIES (to the PDO alone), AddDevice, IRP_MN_START_DEVICE,
//                    IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
//                    IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations); a failed start is followed by
//                    IRP_MN_REMOVE_DEVICE. Capability queries carry Version 1, Size
//                    sizeof(DEVICE_CAPABILITIES), Address and UINumber -1.
//   stop             IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE (IRP_MN_CANCEL_STOP_DEVICE on
//                    a veto); a later start sends IRP_MN_START_DEVICE again
//   orderly removal  IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE (refused while a handle is
//                    open; IRP_MN_CANCEL_REMOVE_DEVICE on a veto)
//   surprise removal IRP_MN_SURPRISE_REMOVAL at once, IRP_MN_REMOVE_DEVICE when the last handle
//                    to the stack has been closed; on a legacy platform (Windows 98/Me, no WDM
//                    1.10) IRP_MN_REMOVE_DEVICE at once, with handles possibly still open
// Verifier checks: AddDevice must clear DO_DEVICE_INITIALIZING on what it attached; between
// IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE no driver of the stack detaches or deletes a
// device object; IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE and the CANCEL requests are not
// failed and their status not changed on the way up (host/io/irps.cpp).
// Each request goes to the top of the stack from the calling thread, which must be an emulated
// thread at PASSIVE_LEVEL; ReportDeviceGone may be called from any context and does its work in
// a Plug and Play thread of its own.
//
// How a bus plugs in: see host/io/bus_driver.h.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/io/io_manager.h"

namespace host::io {

enum class DeviceState {
  kNoDriver,   // no function driver for the hardware id
  kAddFailed,  // AddDevice failed
  kAdded,      // AddDevice done, not started
  kStarted,
  kStartFailed,  // start failed; the stack was removed
  kStopped,
  kSurpriseRemoved,  // IRP_MN_REMOVE_DEVICE still to come
  kRemoved,
};
const char* DeviceStateName(DeviceState state);

struct DeviceNode {
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT top = nullptr;  // top of the stack when it was last used
  std::u16string hardware_id;
  PDRIVER_OBJECT driver = nullptr;
  DeviceState state = DeviceState::kAdded;
  NTSTATUS last_status = STATUS_SUCCESS;  // of the last request or of AddDevice
  DEVICE_CAPABILITIES capabilities{};     // as the stack last reported them
  ULONG pnp_device_state = 0;             // PNP_DEVICE_STATE bits the stack last reported
  bool gone = false;                      // the bus reported the device missing
  bool remove_pending = false;            // surprise-removed, handles still open
  // One line per request sent: "IRP_MN_START_DEVICE 0x00000000".
  std::vector<std::string> history;
};

class PnpManager {
 public:
  explicit PnpManager(IoManager& io);
  ~PnpManager();
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // The function driver for devices with this hardware id.
  void RegisterDriver(std::u16string hardware_id, PDRIVER_OBJECT driver);

  // A bus found a device: builds and starts its stack. Returns the device's node, which lives
  // as long as the manager.
  DeviceNode* DeviceArrived(PDEVICE_OBJECT pdo, std::u16string hardware_id);
  NTSTATUS StopDevice(DeviceNode* node);
  NTSTATUS StartDevice(DeviceNode* node);
  NTSTATUS RemoveDevice(DeviceNode* node);
  void SurpriseRemoveDevice(DeviceNode* node);
  // The bus lost the device (passive thread): a surprise removal of a stack that is still
  // there, then removal; for a stack removed earlier, IRP_MN_REMOVE_DEVICE to the PDO, after
  // which the bus deletes it.
  void DeviceGone(PDEVICE_OBJECT pdo);
  // Same, from any context (a device event at DISPATCH_LEVEL): done in a new thread.
  void ReportDeviceGone(PDEVICE_OBJECT pdo);
  // Waits until the threads ReportDeviceGone started have ended.
  void WaitIdle();

  DeviceNode* Find(PDEVICE_OBJECT pdo);
  std::vector<DeviceNode*> Nodes();

 private:
  void Send(DeviceNode& node, PDEVICE_OBJECT target, UCHAR minor, NTSTATUS* status = nullptr);
  void QueryCapabilities(DeviceNode& node, PDEVICE_OBJECT target);
  void SendRemove(DeviceNode& node);
  void OnLastClose(PDEVICE_OBJECT top);
  void ReleaseNode(DeviceNode& node);

  IoManager& io_;
  std::vector<std::pair<std::u16string, PDRIVER_OBJECT>> drivers_;
  std::vector<std::unique_ptr<DeviceNode>> nodes_;
  std::mutex workers_mu_;  // guards workers_: ReportDeviceGone may run in a device event
  std::vector<PKTHREAD> workers_;
};

}  // namespace host::io
