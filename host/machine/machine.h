// One machine put together for tools, benchmarks and tests: the kernel (in simulation or in real
// time), the I/O, Plug and Play and power managers, the USB bus and the smart card library, with
// the driver loaded through its entry point and registered, as its INF registers it, for the
// converter's hardware id. Simulated converters, each with its serial line, reader and card, are
// plugged into the bus and pulled out again; applications open the driver's devices by name or
// through the smart card reader interface (reader_handle.h); the system sleeps and wakes.
//
// The machine knows nothing of the driver but its entry point: everything else happens through
// the requests the operating system and applications send.
//
//   host::machine::Machine machine;
//   host::kernel::RunResult result = machine.Run([](host::machine::Machine& m) {
//     host::machine::Converter& converter = m.Plug();
//     host::machine::ReaderHandle reader(m);
//     reader.Open(host::machine::DeviceName(0));
//     ...
//   });
//
// Run loads the driver, runs the body as the machine's first thread, then shuts down: converters
// still plugged are pulled out, the driver is unloaded, and the kernel's and the I/O manager's
// checks look for what was left behind (threads, pool, IRPs, device objects, symbolic links,
// open files). Everything the body creates that belongs to the machine (handles, requests in
// flight) must be gone when it returns.
//
// Contexts: the members that act (Plug, Unplug, Sleep, Wait, ...) are called from the machine's
// threads at PASSIVE_LEVEL, in practice from the body.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/io/io_manager.h"
#include "host/io/pnp_manager.h"
#include "host/io/power_manager.h"
#include "host/kernel/kernel.h"
#include "host/machine/converter.h"
#include "host/smclib/library.h"
#include "host/usb/usb_bus.h"

namespace host::machine {

// The driver as the loader and its INF know it.
struct DriverImage {
  PDRIVER_INITIALIZE entry = nullptr;  // the driver's DriverEntry when not given
  std::u16string name = u"\\Driver\\Zarq7usb";
  std::u16string registry_path =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Zarq7usb";
  std::u16string hardware_id;  // the converter's, USB\VID_F7A5&PID_0C01, when not given
};

struct MachineOptions {
  kernel::KernelOptions kernel;
  io::IoOptions io;
  usb::UsbBusOptions usb;
  DriverImage driver;
};

// "\Device\USBTESK0" ... "\Device\USBTESK8": the names the driver gives its devices, by unit.
std::u16string DeviceName(unsigned unit);
inline constexpr unsigned kDeviceNames = 9;

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Boots the machine and runs body in it (see above); once per machine. The result is not ok
  // when the driver did not load, the machine stopped (verifier, deadlock) or the shutdown
  // checks found leftovers.
  kernel::RunResult Run(const std::function<void(Machine&)>& body);

  kernel::Kernel& kernel() { return kernel_; }
  io::IoManager& io() { return io_; }
  io::PnpManager& pnp() { return pnp_; }
  io::PowerManager& power() { return power_; }
  usb::UsbBus& bus() { return bus_; }
  smclib::SmartcardLibrary& library() { return library_; }
  PDRIVER_OBJECT driver() const { return driver_; }

  // --- hardware ---
  // Plugs a new converter into a new port of the bus; Plug and Play finds the driver for it and
  // starts the device before this returns. The converter lives until the machine shuts down.
  Converter& Plug(ConverterOptions options = {});
  std::vector<Converter*> converters();

  // --- system power ---
  // The power manager's sleep (query, then set) and the return to the working state.
  NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  NTSTATUS Wake();

  // --- time ---
  kernel::Ticks Now() { return kernel_.Now(); }
  // The calling thread waits `delay` as a driver's thread would (on the clock tick, unless the
  // machine keeps exact time).
  void Wait(kernel::Ticks delay);

  // The device objects that carry the smart card reader interface, as applications find them:
  // the enabled interfaces' symbolic link names.
  std::vector<std::u16string> ReaderInterfaces();

 private:
  void Shutdown();

  MachineOptions options_;
  kernel::Kernel kernel_;
  io::IoManager io_;
  io::PnpManager pnp_;
  io::PowerManager power_;
  smclib::SmartcardLibrary library_;
  usb::UsbBus bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<Converter>> converters_;
};

}  // namespace host::machine
