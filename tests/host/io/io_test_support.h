// A machine with the I/O manager, the Plug and Play and power managers and the test bus, and
// device objects whose requests go to a test's own lambdas.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/io/application.h"
#include "host/io/io_manager.h"
#include "host/io/pnp_manager.h"
#include "host/io/power_manager.h"
#include "host/io/test_bus.h"
#include "host/kernel/kernel.h"
#include "platform/wdm.h"

namespace host::io::testing {

struct Machine {
  explicit Machine(IoOptions options = {}, uint64_t seed = 1)
      : k(kernel::KernelOptions{.seed = seed}),
        io(k, options),
        pnp(io),
        power(io, pnp),
        bus(io, pnp) {}
  kernel::Kernel k;
  IoManager io;
  PnpManager pnp;
  PowerManager power;
  TestBus bus;
};

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A device object whose every request goes to dispatch.
struct Scripted {
  Dispatch dispatch;
};

inline NTSTATUS ScriptedDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return (*static_cast<Scripted**>(device->DeviceExtension))->dispatch(device, irp);
}

inline PDRIVER_OBJECT ScriptedDriver(IoManager& io, std::u16string name = u"\\Driver\\Scripted") {
  PDRIVER_OBJECT driver = io.CreateHostDriver(name);
  for (auto& entry : driver->MajorFunction) entry = ScriptedDispatch;
  return driver;
}

inline PDEVICE_OBJECT CreateScripted(PDRIVER_OBJECT driver, Scripted* script,
                                     const char16_t* name = nullptr) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Scripted*), name ? &text : nullptr,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return nullptr;
  *static_cast<Scripted**>(device->DeviceExtension) = script;
  device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
  return device;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace host::io::testing
