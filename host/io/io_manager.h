// The machine's I/O manager: the object namespace (device names, symbolic links, device
// interfaces), driver and device objects, IRPs with their completion and cancellation, and the
// verifier that watches how drivers use them. The platform/ Io and Po calls are implemented on top
// of it; the Plug and Play manager, the power manager, bus drivers and applications use its host
// side.
//
// One IoManager per Kernel, created before Kernel::Run and living until after it; it registers
// itself as the kernel's service and adds its shutdown checks (IRPs, device objects, symbolic
// links and open files left over).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/io/status_name.h"
#include "host/kernel/kernel.h"
#include "platform/io.h"

namespace host::io {

struct IoOptions {
  // The WDM version IoIsWdmVersionAvailable reports: 1.30 for an NT-based platform (WDM 1.10 and
  // later are available); Legacy() is Windows Me, which has no WDM 1.10 and no surprise removal
  // (the Plug and Play manager removes a pulled device at once, see pnp_manager.h).
  UCHAR wdm_major = 1;
  UCHAR wdm_minor = 0x30;
  static IoOptions Legacy() { return IoOptions{1, 0x05}; }
};

// The host's memory of one IRP, also after it was freed.
struct IrpRecord;

class IoManager {
 public:
  IoManager(kernel::Kernel& kernel, IoOptions options = {});
  ~IoManager();
  IoManager(const IoManager&) = delete;
  IoManager& operator=(const IoManager&) = delete;

  // The I/O manager of the calling thread's machine; a bug check when the machine has none.
  static IoManager& Current();

  kernel::Kernel& kernel() { return kernel_; }
  const IoOptions& options() const { return options_; }
  bool WdmVersionAvailable(UCHAR major, UCHAR minor) const;

  // --- drivers ---
  // Creates the driver object and runs entry(driver, registry path) in the calling thread, which
  // must be an emulated thread at PASSIVE_LEVEL. Returns NULL when DriverEntry fails (its status
  // in *status).
  PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry,
                            std::u16string_view registry_path, NTSTATUS* status = nullptr);
  // Calls DriverUnload and frees the driver object; refused with STATUS_DEVICE_BUSY while the
  // driver still has device objects.
  NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);
  // A driver object for a driver implemented by the host (a bus driver): no DriverEntry runs;
  // the caller fills the dispatch table. Every entry starts as "invalid device request".
  PDRIVER_OBJECT CreateHostDriver(std::u16string_view name);

  // --- device objects ---
  // References keep a deleted device object's memory until the last one goes (open files hold
  // one, the Plug and Play manager holds one on each physical device object).
  void ReferenceDevice(PDEVICE_OBJECT device);
  void DereferenceDevice(PDEVICE_OBJECT device);
  // The top of the stack device belongs to.
  PDEVICE_OBJECT AttachedDevice(PDEVICE_OBJECT device);
  // The device object device is attached to, or NULL.
  PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);
  bool IsDeleted(PDEVICE_OBJECT device);
  std::u16string DeviceName(PDEVICE_OBJECT device);
  // Open files whose requests go to device.
  int OpenFiles(PDEVICE_OBJECT device);
  // Marks the stack above pdo as being between IRP_MN_SURPRISE_REMOVAL and
  // IRP_MN_REMOVE_DEVICE, when its drivers must not detach or delete their device objects.
  void SetSurpriseRemoval(PDEVICE_OBJECT pdo, bool in_progress);
  // Called (from the closing thread, at PASSIVE_LEVEL) when the last open file of a device's
  // stack has been closed; the Plug and Play manager sends a delayed removal from here.
  void SetLastCloseHook(std::function<void(PDEVICE_OBJECT top)> hook);

  // --- namespace ---
  // The device object a path names, after symbolic links, and the rest of the path (the file
  // name, with its leading backslash). NULL when nothing matches.
  PDEVICE_OBJECT Resolve(std::u16string_view path, std::u16string* rest = nullptr);
  std::vector<std::u16string> SymbolicLinks();
  std::vector<std::u16string> EnabledInterfaces(const GUID& interface_class);
  // Disables every interface registered for a physical device object (at its removal).
  void DisableInterfacesOf(PDEVICE_OBJECT pdo);

  // --- IRPs ---
  // An IRP the operating system itself sends (Plug and Play, power, applications). When its
  // completion reaches the top, at_top runs (in the completing thread, at its IRQL) and the IRP
  // is freed afterwards. A must-succeed IRP (an application's cleanup and close, which Windows
  // takes from a reserve and retries) never fails for want of pool.
  PIRP AllocateSystemIrp(CCHAR stack_size, std::string origin, std::function<void(PIRP)> at_top,
                         bool must_succeed = false);
  // Keeps a completed system IRP from being freed until ReleaseIrp (used while a canceller may
  // still touch it).
  bool HoldIrp(PIRP irp);
  // Frees a system IRP that was never sent.
  void FreeUnsentIrp(PIRP irp);
  void ReleaseIrp(PIRP irp);
  size_t live_irps();
  uint64_t irps_allocated();
  size_t live_devices();

  // What the shutdown check would report now; empty when nothing is left over.
  std::string LeakReport();

  struct State;
  State& state() { return *state_; }

 private:
  kernel::Kernel& kernel_;
  IoOptions options_;
  std::unique_ptr<State> state_;
};

// Names for reports.
std::string Narrow(std::u16string_view text);
std::u16string Widen(std::string_view text);
std::string MajorName(UCHAR major);
std::string MinorName(UCHAR major, UCHAR minor);
std::string GuidText(const GUID& guid);

}  // namespace host::io
