// The whole stack as Windows runs it: converters plugged in and started by Plug and Play, the power
// manager, and applications that open the device and send it requests.
#pragma once

#include <algorithm>
#include <string>

#include "host/io/application.h"
#include "host/io/power_manager.h"
#include "tests/usb/driver_rig.h"

namespace stack_test {

using namespace driver_test;
using host::io::AsyncIo;
using host::io::IoResult;
using Bytes = std::vector<UCHAR>;

inline const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
inline const Bytes kSwOk = {0x90, 0x00};

struct StackMachine : DriverMachine {
  explicit StackMachine(uint64_t seed, host::io::IoOptions options = {})
      : DriverMachine(seed, options), power(io, pnp), app(io) {}
  host::io::PowerManager power;
  host::io::Application app;
  // No device, no pool block of the driver, no IRP left.
  void ExpectNothingLeft() {
    EXPECT_EQ(io.live_devices(), 0u);
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_EQ(io.live_irps(), 0u);
  }
};

// A converter plugged in: the Plug and Play manager adds and starts the driver's device on it.
struct Plugged : Converter {
  explicit Plugged(StackMachine& machine, sim::ConverterRigOptions options = {})
      : Converter(machine, options, true) {}
  void Unplug() {
    if (m.bus.Present(pdo)) m.bus.Unplug(pdo);
  }
  host::io::DeviceNode* node() { return m.pnp.Find(pdo); }
  std::u16string name() { return m.io.DeviceName(fdo); }
  // The reader interface's path, as the resource manager opens it (one converter plugged in).
  std::u16string interface_path() {
    return m.io.EnabledInterfaces(GUID_DEVINTERFACE_SMARTCARD_READER).at(0);
  }
};

// An application's handle and the smart card requests it sends. A request is carried out in the
// calling thread; only one that pends (presence) comes back early from ControlAsync.
struct Session {
  explicit Session(StackMachine& machine, std::u16string_view path = u"\\Device\\USBTESK0")
      : m(machine), open_status(m.app.Open(path, &h)) {}
  ~Session() { Close(); }
  NTSTATUS Close() {
    NTSTATUS status = h ? m.app.Close(h) : STATUS_INVALID_HANDLE;
    h = host::io::kInvalidHandle;
    return status;
  }
  IoResult Control(ULONG code, const Bytes& input, ULONG output) {
    return m.app.DeviceIoControl(h, code, input, output);
  }
  AsyncIo ControlAsync(ULONG code, const Bytes& input, ULONG output) {
    return m.app.DeviceIoControlAsync(h, code, input, output);
  }
  IoResult ColdReset() { return Control(IOCTL_SMARTCARD_POWER, {SCARD_COLD_RESET, 0, 0, 0}, 64); }
  // The answer after the SCARD_IO_REQUEST header {T=1, 8}.
  IoResult Transmit(const Bytes& apdu) {
    Bytes input = {SCARD_PROTOCOL_T1, 0, 0, 0, sizeof(SCARD_IO_REQUEST), 0, 0, 0};
    input.insert(input.end(), apdu.begin(), apdu.end());
    IoResult r = Control(IOCTL_SMARTCARD_TRANSMIT, input, sizeof(SCARD_IO_REQUEST) + 258);
    r.output.erase(r.output.begin(), r.output.begin() + std::min<size_t>(r.output.size(), 8));
    return r;
  }
  ULONG State() {
    IoResult r = Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    return r.output.size() == sizeof(ULONG) ? r.output[0] : ULONG(SCARD_UNKNOWN);
  }
  // Reset, T=1 and SELECT of the master file: what a session does first.
  bool StartSession() {
    return ColdReset().status == STATUS_SUCCESS &&
           Control(IOCTL_SMARTCARD_SET_PROTOCOL, {SCARD_PROTOCOL_T1, 0, 0, 0}, 4).status ==
               STATUS_SUCCESS &&
           Transmit(kSelectMf).output == kSwOk;
  }
  StackMachine& m;
  host::io::Handle h = host::io::kInvalidHandle;
  NTSTATUS open_status;
};

// Runs body with the driver loaded in a machine of the given seed; a failure names the seed.
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
