// The whole stack as Windows runs it: the driver loaded, converters (with their line, reader and
// card) plugged into the USB bus so that the Plug and Play manager adds and starts the driver's
// device, the power manager, and applications that open the device and send it requests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/pool_tag.h"
#include "host/io/application.h"
#include "host/io/io_manager.h"
#include "host/io/pnp_manager.h"
#include "host/io/power_manager.h"
#include "host/smclib/library.h"
#include "host/usb/usb_bus.h"
#include "sim/converter/converter_protocol.h"
#include "sim/converter_rig.h"

namespace stack_test {

using namespace host::kernel;
using host::io::AsyncIo;
using host::io::Handle;
using host::io::IoResult;
using Bytes = std::vector<UCHAR>;

inline const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
inline const Bytes kSwOk = {0x90, 0x00};

struct StackMachine {
  explicit StackMachine(uint64_t seed = 1, host::io::IoOptions options = {})
      : k(KernelOptions{.seed = seed}),
        io(k, options),
        pnp(io),
        power(io, pnp),
        library(k),
        bus(io, pnp),
        app(io) {}
  Kernel k;
  host::io::IoManager io;
  host::io::PnpManager pnp;
  host::io::PowerManager power;
  host::smclib::SmartcardLibrary library;
  host::usb::UsbBus bus;
  host::io::Application app;
  PDRIVER_OBJECT driver = nullptr;

  // In the machine's run: the driver, as the function driver of the converter's hardware id.
  void Load() {
    driver = io.LoadDriver(u"\\Driver\\Zarq7usb", DriverEntry,
                           u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Zarq7usb");
    ASSERT_NE(driver, nullptr);
    pnp.RegisterDriver(
        host::usb::UsbHardwareId(sim::converter::kVendorId, sim::converter::kProductId), driver);
  }
  size_t DriverBlocks() { return k.pool().Stats(DRIVER_POOL_TAG).outstanding_blocks; }
  // Nothing of the driver left: no device, no pool, no IRP.
  void ExpectNothingLeft() {
    EXPECT_EQ(io.live_devices(), 0u);
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_EQ(io.live_irps(), 0u);
  }
};

// A converter plugged in: the Plug and Play manager adds and starts the driver's device on it.
struct Plugged {
  explicit Plugged(StackMachine& machine, sim::ConverterRigOptions options = {})
      : m(machine), rig(machine.k, options) {
    pdo = m.bus.Plug(rig.device());
    fdo = m.io.AttachedDevice(pdo);
    ext = fdo != pdo ? DeviceExtensionOf(fdo) : nullptr;
  }
  ~Plugged() { Unplug(); }
  void Unplug() {
    if (m.bus.Present(pdo)) m.bus.Unplug(pdo);
  }
  host::io::DeviceNode* node() { return m.pnp.Find(pdo); }
  std::u16string name() { return m.io.DeviceName(fdo); }
  // URBs of this converter submitted from record `from` on.
  size_t Urbs(size_t from = 0) {
    size_t n = 0;
    auto all = m.bus.trace().Records();
    for (size_t i = from; i < all.size(); ++i) n += all[i].device == m.bus.DeviceAddress(pdo);
    return n;
  }
  StackMachine& m;
  sim::ConverterRig rig;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_EXTENSION ext = nullptr;
};

inline Bytes Ulong(ULONG value) {
  Bytes b(sizeof value);
  std::memcpy(b.data(), &value, sizeof value);
  return b;
}

// An application's handle and the smart card requests it sends.
struct Session {
  Session(StackMachine& machine, std::u16string_view path = u"\\Device\\USBTESK0") : m(machine) {
    open_status = m.app.Open(path, &h);
  }
  ~Session() { Close(); }
  NTSTATUS Close() {
    NTSTATUS status = h != host::io::kInvalidHandle ? m.app.Close(h) : STATUS_INVALID_HANDLE;
    h = host::io::kInvalidHandle;
    return status;
  }
  IoResult Control(ULONG code, const Bytes& input, ULONG output) {
    return m.app.DeviceIoControl(h, code, input, output);
  }
  AsyncIo ControlAsync(ULONG code, const Bytes& input, ULONG output) {
    return m.app.DeviceIoControlAsync(h, code, input, output);
  }
  IoResult ColdReset() { return Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64); }
  IoResult SelectT1() {
    return Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), sizeof(ULONG));
  }
  static Bytes TransmitInput(const Bytes& apdu) {
    SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
    Bytes input(sizeof header);
    std::memcpy(input.data(), &header, sizeof header);
    input.insert(input.end(), apdu.begin(), apdu.end());
    return input;
  }
  // The answer after the SCARD_IO_REQUEST header.
  IoResult Transmit(const Bytes& apdu, ULONG answer = 258) {
    IoResult r =
        Control(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(apdu), sizeof(SCARD_IO_REQUEST) + answer);
    if (r.output.size() >= sizeof(SCARD_IO_REQUEST)) {
      r.output.erase(r.output.begin(), r.output.begin() + sizeof(SCARD_IO_REQUEST));
    }
    return r;
  }
  ULONG State() {
    IoResult r = Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    ULONG state = SCARD_UNKNOWN;
    if (r.output.size() == sizeof state) std::memcpy(&state, r.output.data(), sizeof state);
    return state;
  }
  // Reset, T=1 and SELECT of the master file: what a session does first.
  bool StartSession() {
    return ColdReset().status == STATUS_SUCCESS && SelectT1().status == STATUS_SUCCESS &&
           Transmit(kSelectMf).output == kSwOk;
  }
  StackMachine& m;
  Handle h = host::io::kInvalidHandle;
  NTSTATUS open_status = STATUS_PENDING;
};

inline void Sleep(Ticks t) {
  LARGE_INTEGER d;
  d.QuadPart = -t;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

// Runs body in a machine of the given seed with the driver loaded; a failure names the seed, so
// that it replays.
inline void OnMachine(uint64_t seed, const std::function<void(StackMachine&)>& body,
                      host::io::IoOptions options = {}) {
  StackMachine m(seed, options);
  auto r = m.k.Run([&] {
    m.Load();
    body(m);
  });
  ASSERT_TRUE(r.ok()) << "seed " << seed << ": " << r.report;
}

}  // namespace stack_test
