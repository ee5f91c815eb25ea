// The driver loaded on a machine with the USB bus, converters plugged in with the driver's device
// on each, and requests sent to that device as IRPs. The rig calls AddDevice itself, so that
// nothing starts the device: Converter::Start runs the transport's start-time routines on it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "driver/driver.h"
#include "driver/pool_tag.h"
#include "host/io/io_manager.h"
#include "host/io/pnp_manager.h"
#include "host/io/system_irp.h"
#include "host/smclib/library.h"
#include "host/usb/usb_bus.h"
#include "sim/converter/converter_protocol.h"
#include "sim/converter_rig.h"
#include "usb/usb_transport.h"

namespace driver_test {

using namespace host::kernel;

struct DriverMachine {
  explicit DriverMachine(uint64_t seed = 1, host::io::IoOptions options = {})
      : k(KernelOptions{.seed = seed}), io(k, options), pnp(io), library(k), bus(io, pnp) {}
  Kernel k;
  host::io::IoManager io;
  host::io::PnpManager pnp;
  host::smclib::SmartcardLibrary library;
  host::usb::UsbBus bus;
  PDRIVER_OBJECT driver = nullptr;

  // In the machine's run: the driver, as the function driver of the converter's hardware id.
  void Load() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver = io.LoadDriver(u"\\Driver\\Zarq7usb", DriverEntry,
                           u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Zarq7usb",
                           &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    pnp.RegisterDriver(
        host::usb::UsbHardwareId(sim::converter::kVendorId, sim::converter::kProductId), driver);
  }
  size_t DriverBlocks() { return k.pool().Stats(DRIVER_POOL_TAG).outstanding_blocks; }
};

// Timers may expire at the clock tick after their due time (host::kernel::kClockTick).
using host::kernel::kClockTick;
inline ::testing::AssertionResult TookAbout(Ticks elapsed, Ticks due, Ticks slack = kClockTick) {
  if (elapsed >= due && elapsed < due + slack) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << elapsed << " ticks, not " << due << " or a tick more";
}

inline void Sleep(Ticks t) {
  LARGE_INTEGER d;
  d.QuadPart = -t;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

// One converter on the bus with the driver's device on top; unplugged when it goes.
struct Converter {
  static constexpr char16_t kUnclaimedHardwareId[] = u"USB\\VID_F7A5&PID_0C01&TRANSPORT_TEST";
  // With plug_and_play, under its own hardware id: Plug and Play adds and starts the device.
  explicit Converter(DriverMachine& machine, sim::ConverterRigOptions options = {},
                     bool plug_and_play = false)
      : m(machine), rig(machine.k, options) {
    pdo = m.bus.Plug(rig.device(), plug_and_play ? u"" : kUnclaimedHardwareId);
    if (!plug_and_play) AddDevice(m.driver, pdo);
    fdo = m.io.AttachedDevice(pdo);
    ext = fdo != pdo ? DeviceExtensionOf(fdo) : nullptr;
  }
  ~Converter() {
    if (m.bus.Present(pdo)) m.bus.Unplug(pdo);
  }

  // What the device start will do: device descriptor, configuration, pipe table, reading thread.
  NTSTATUS Start(bool reading_thread = true) {
    NTSTATUS status = GetDeviceDescriptor(fdo, &ext->DeviceDescriptor);
    if (status == STATUS_SUCCESS) status = SelectConfiguration(fdo);
    if (status == STATUS_SUCCESS) status = BuildPipeTable(fdo);
    if (status == STATUS_SUCCESS && reading_thread) status = StartReadingThread(fdo);
    return status;
  }
  // The link's line settings, the far end's.
  void SetLink() {
    using namespace sim::converter;
    EXPECT_EQ(ZarUSBSerConv_WritePort(fdo, kRequestLineSettings, kRate9600, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZarUSBSerConv_WritePort(fdo, kRequestLineSettings, kParityEven | kStopBitsOne, 0),
              STATUS_SUCCESS);
  }
  // The driver's own teardown, then the cable.
  void Remove() { TearDownDevice(fdo), m.bus.Unplug(pdo); }
  // This device's URBs in the bus's trace from record `from` on; only its IN or OUT transfers
  // when `in` is given.
  std::vector<host::usb::UrbRecord> Urbs(size_t from = 0, std::optional<bool> in = {}) {
    std::vector<host::usb::UrbRecord> mine;
    auto all = m.bus.trace().Records();
    for (size_t i = from; i < all.size(); ++i) {
      bool transfer = all[i].function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
      if (all[i].device != m.bus.DeviceAddress(pdo)) continue;
      if (!in || (transfer && all[i].In() == *in)) mine.push_back(all[i]);
    }
    return mine;
  }
  DriverMachine& m;
  sim::ConverterRig rig;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_EXTENSION ext = nullptr;
};

struct IrpResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<UCHAR> data;  // a read's buffer, Information bytes of it
  std::pair<NTSTATUS, ULONG_PTR> outcome() const { return {status, information}; }
};
using IrpOutcome = std::pair<NTSTATUS, ULONG_PTR>;

// A buffered read or write IRP sent to the device; waits for its completion.
inline IrpResult SendIrp(PDEVICE_OBJECT device, UCHAR major, std::vector<UCHAR> buffer,
                         ULONG flags) {
  ULONG length = ULONG(buffer.size());
  auto result = host::io::SendSystemIrp(
      host::io::IoManager::Current(), device, "test", major, 0,
      [&](PIRP irp, PIO_STACK_LOCATION next) {
        irp->AssociatedIrp.SystemBuffer = length ? buffer.data() : nullptr;
        irp->Flags |= flags;
        next->Parameters.Read.Length = length;  // Write.Length shares its place
      });
  buffer.resize(std::min<size_t>(result.information, length));
  return {result.status, result.information, buffer};
}
inline IrpResult ReadIrp(PDEVICE_OBJECT device, ULONG length, ULONG flags = IRP_READ_OPERATION) {
  return SendIrp(device, IRP_MJ_READ, std::vector<UCHAR>(length), flags);
}
inline IrpResult WriteIrp(PDEVICE_OBJECT device, std::vector<UCHAR> bytes) {
  return SendIrp(device, IRP_MJ_WRITE, std::move(bytes), IRP_WRITE_OPERATION);
}

// Runs body in a machine with the driver and one started converter, torn down afterwards.
inline void OnStartedConverter(const std::function<void(DriverMachine&, Converter&)>& body,
                               bool reading_thread = true, sim::ConverterRigOptions options = {},
                               uint64_t seed = 1) {
  DriverMachine m(seed);
  auto r = m.k.Run([&] {
    m.Load();
    Converter c(m, options);
    ASSERT_EQ(c.Start(reading_thread), STATUS_SUCCESS);
    body(m, c);
    c.Remove();
  });
  ASSERT_TRUE(r.ok()) << "seed " << seed << ": " << r.report;
}

}  // namespace driver_test
