// A scriptable bus for tests of drivers before the real buses exist: each plugged-in device gets
// a PDO that answers Plug and Play and power like a bus driver, with a start status, capabilities
// and an IRP_MJ_INTERNAL_DEVICE_CONTROL handler chosen by the test, and a log of what reached it.
// As every bus here, it completes IRP_MN_START_DEVICE and the return to D0 later, from
// DISPATCH_LEVEL, unless set_completion says otherwise (host/io/bus_driver.h).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/io/bus_driver.h"
#include "host/io/pnp_manager.h"

namespace host::io {

struct TestDevice {
  std::u16string hardware_id = u"TESTBUS\\DEVICE";
  NTSTATUS start_status = STATUS_SUCCESS;
  bool surprise_removal_ok = false;
  // Serves IRP_MJ_INTERNAL_DEVICE_CONTROL; it completes the IRP or hands it to CompleteLater.
  // Without one the request is refused with STATUS_INVALID_DEVICE_REQUEST.
  std::function<NTSTATUS(PDEVICE_OBJECT pdo, PIRP irp)> internal_device_control;
};

class TestBus : public BusDriver {
 public:
  TestBus(IoManager& io, PnpManager& pnp);
  ~TestBus() override;

  // Creates the PDO and reports it to the Plug and Play manager (PASSIVE_LEVEL).
  PDEVICE_OBJECT Plug(TestDevice device);
  // The device goes away: requests kept by CompleteLater fail with STATUS_DEVICE_NOT_CONNECTED
  // and the Plug and Play manager removes the stack (PASSIVE_LEVEL).
  void Unplug(PDEVICE_OBJECT pdo);
  // Same, as a device event at time `when`; the removal runs in a Plug and Play thread
  // (PnpManager::WaitIdle waits for it).
  void UnplugAt(PDEVICE_OBJECT pdo, kernel::Ticks when);

  // Keeps irp (marked pending, cancellable) and completes it after delay from a device event at
  // DISPATCH_LEVEL. Returns STATUS_PENDING, for the dispatch routine to return.
  NTSTATUS CompleteLater(PDEVICE_OBJECT pdo, PIRP irp, kernel::Ticks delay, NTSTATUS status,
                         ULONG_PTR information = 0);
  // Requests kept by CompleteLater now.
  size_t kept();

  // "IRP_MJ_PNP IRP_MN_START_DEVICE", ... in the order they arrived.
  std::vector<std::string> Log(PDEVICE_OBJECT pdo);
  DeviceNode* node(PDEVICE_OBJECT pdo) { return pnp_.Find(pdo); }

 protected:
  NTSTATUS OnPnp(PDEVICE_OBJECT pdo, PIRP irp) override;
  NTSTATUS OnInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override;
  void FillCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities) override;
  void Received(PDEVICE_OBJECT pdo, PIRP irp) override;

 private:
  struct Slot {
    TestDevice script;
    std::vector<std::string> log;
  };
  struct Kept {
    PDEVICE_OBJECT pdo;
    kernel::EventId event;
  };
  static VOID CancelKept(PDEVICE_OBJECT pdo, PIRP irp);
  // Fails the requests kept for pdo with STATUS_DEVICE_NOT_CONNECTED.
  void FailKept(PDEVICE_OBJECT pdo);
  // Takes irp out of the kept list; false when it was not there.
  bool Take(PIRP irp, Kept* kept = nullptr);

  PnpManager& pnp_;
  std::mutex mu_;  // guards slots_ and kept_; a host lock, never held across a call out
  std::vector<std::unique_ptr<Slot>> slots_;
  std::map<PIRP, Kept> kept_;
  std::map<PDEVICE_OBJECT, Slot*> by_pdo_;
};

}  // namespace host::io
