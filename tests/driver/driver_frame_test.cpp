// The driver frame: the dispatch table on both platforms, AddDevice's starting values and its
// clean failure, and the activity count, on a test bus device that is added but never started.
#include "host/io/test_bus.h"
#include "reader/reader_extension.h"
#include "tests/usb/driver_rig.h"

using namespace driver_test;

namespace {

constexpr char16_t kUnclaimedHardwareId[] = u"TESTBUS\\UNCLAIMED";
constexpr char16_t kLegacyLink[] = u"\\DosDevices\\SCReader0";

struct FrameMachine : DriverMachine {
  explicit FrameMachine(host::io::IoOptions options = {})
      : DriverMachine(1, options), test_bus(io, pnp) {}
  host::io::TestBus test_bus;
  // Plugs a test device and adds the driver's device on it; its function device, or NULL.
  PDEVICE_OBJECT Plug(PDEVICE_OBJECT* pdo, NTSTATUS* added = nullptr) {
    host::io::TestDevice device;
    device.hardware_id = kUnclaimedHardwareId;
    *pdo = test_bus.Plug(device);
    NTSTATUS status = AddDevice(driver, *pdo);
    if (added) *added = status;
    PDEVICE_OBJECT top = io.AttachedDevice(*pdo);
    return top != *pdo ? top : nullptr;
  }
  // The removal as the Plug and Play manager sends it, then the device leaves the bus.
  void Remove(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = io.AttachedDevice(pdo);
    if (top != pdo) host::io::SendSystemIrp(io, top, "test", IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, {});
    test_bus.Unplug(pdo);
  }
  host::io::SystemResult Send(PDEVICE_OBJECT device, UCHAR major) {
    return host::io::SendSystemIrp(io, device, "test", major, 0, nullptr);
  }
};

}  // namespace

TEST(DriverFrame, DispatchTableAddDeviceAndRemovalOnBothPlatforms) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "Windows 98/Me" : "Windows 2000 and later");
    FrameMachine m(legacy ? host::io::IoOptions::Legacy() : host::io::IoOptions{});
    auto r = m.k.Run([&] {
      m.Load();
      EXPECT_EQ(LegacyPlatform, legacy);
      PDEVICE_OBJECT pdo;
      PDEVICE_OBJECT fdo = m.Plug(&pdo);
      ASSERT_NE(fdo, nullptr);
      PDEVICE_EXTENSION ext = DeviceExtensionOf(fdo);
      auto Reached = [&](std::string what) {
        return std::ranges::count(m.test_bus.Log(pdo), what);
      };
      EXPECT_EQ(m.io.DeviceName(fdo), u"\\Device\\USBTESK0");
      EXPECT_EQ(ext->IoCount, 1);
      EXPECT_TRUE(ext->DeviceStarted);
      EXPECT_EQ(ext->InterfaceSettingCount, -1);
      EXPECT_EQ(ext->Timeouts.ReadTotalTimeoutConstant, 5000u);
      EXPECT_EQ(ext->SmartcardExtension.ReaderExtension->AttachedDevice, pdo);
      EXPECT_EQ(ext->DeviceCapabilities.Size, sizeof(DEVICE_CAPABILITIES));
      EXPECT_TRUE(ext->DeviceCapabilities.Removable);  // as the bus answered
      EXPECT_EQ(fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
                ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
      auto links = m.io.SymbolicLinks();
      EXPECT_EQ(std::count(links.begin(), links.end(), kLegacyLink), legacy);
      EXPECT_EQ(ext->InterfaceName.Length == 0, legacy);

      NTSTATUS trivial = legacy ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS;
      for (UCHAR major : {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION}) {
        EXPECT_EQ(m.Send(fdo, major).status, trivial) << int(major);
      }
      m.Send(fdo, IRP_MJ_SYSTEM_CONTROL);
      EXPECT_EQ(Reached("IRP_MJ_SYSTEM_CONTROL"), !legacy);
      // The activity count: RemoveEvent is set when it reaches 0.
      EXPECT_EQ(IoIncrement(fdo) + IoDecrement(fdo), 3);
      EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);
      EXPECT_EQ(IoDecrement(fdo), 0);
      EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 1);

      // Removal reaches the bus and ends the device with its link or interface.
      m.Remove(pdo);
      EXPECT_TRUE(Reached("IRP_MJ_PNP IRP_MN_REMOVE_DEVICE"));
      EXPECT_EQ(m.io.live_devices(), 0u);
      EXPECT_TRUE(m.io.SymbolicLinks().empty());
      EXPECT_EQ(m.DriverBlocks(), 0u);
      EXPECT_EQ(m.io.UnloadDriver(m.driver), STATUS_SUCCESS);
    });
    ASSERT_TRUE(r.ok()) << r.report;
  }
}

// A device is used only whole: a step that fails leaves no device object, binding, interface
// name or pool behind, and AddDevice reports the step's status.
TEST(DriverFrame, AddDeviceThatFailsReleasesWhatItCreated) {
  const ULONG tags[] = {DRIVER_POOL_TAG, host::smclib::kLibraryTag, MakeTag("IoIf")};
  for (ULONG tag : tags) {
    SCOPED_TRACE(TagName(tag));
    FrameMachine m;
    auto r = m.k.Run([&] {
      m.Load();
      m.k.pool().FailTag(tag);
      PDEVICE_OBJECT pdo;
      NTSTATUS added = STATUS_PENDING;
      EXPECT_EQ(m.Plug(&pdo, &added), nullptr);
      EXPECT_EQ(added, STATUS_INSUFFICIENT_RESOURCES);
      m.k.pool().ClearFaults();
      EXPECT_EQ(m.io.live_devices(), 1u);  // the PDO
      for (ULONG t : tags) EXPECT_EQ(m.k.pool().Stats(t).outstanding_blocks, 0u);
      PDEVICE_OBJECT second;
      EXPECT_EQ(m.io.DeviceName(m.Plug(&second)), u"\\Device\\USBTESK0");
      m.Remove(second);
      m.Remove(pdo);
    });
    ASSERT_TRUE(r.ok()) << r.report;
  }
}
