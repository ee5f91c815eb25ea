// The driver frame: the dispatch table on both platforms, the nine device names, AddDevice's
// starting values and its clean failure, and the activity count.
#include "host/io/power_manager.h"
#include "host/io/test_bus.h"
#include "reader/reader_extension.h"
#include "tests/usb/driver_rig.h"

using namespace driver_test;

namespace {

constexpr char16_t kTestHardwareId[] = u"TESTBUS\\DEVICE";
constexpr char16_t kLegacyLink[] = u"\\DosDevices\\SCReader0";

struct FrameMachine : DriverMachine {
  explicit FrameMachine(host::io::IoOptions options = {})
      : DriverMachine(1, options), test_bus(io, pnp), power(io, pnp) {}
  host::io::TestBus test_bus;
  host::io::PowerManager power;
  // Plugs a test device handled by the driver; its function device, or NULL.
  PDEVICE_OBJECT Plug(PDEVICE_OBJECT* pdo) {
    pnp.RegisterDriver(kTestHardwareId, driver);
    *pdo = test_bus.Plug({});
    PDEVICE_OBJECT top = io.AttachedDevice(*pdo);
    return top != *pdo ? top : nullptr;
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
      for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL}) {
        EXPECT_EQ(m.Send(fdo, major).status, STATUS_INVALID_DEVICE_REQUEST) << int(major);
      }

      // Power requests reach the bus driver, as the stack needs until the driver handles them.
      EXPECT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
      EXPECT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
      EXPECT_TRUE(Reached("IRP_MJ_POWER IRP_MN_SET_POWER"));

      // The activity count: RemoveEvent is set when it reaches 0.
      EXPECT_EQ(IoIncrement(fdo) + IoDecrement(fdo), 3);
      EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);
      EXPECT_EQ(IoDecrement(fdo), 0);
      EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 1);

      // Removal reaches the bus and ends the device with its link or interface.
      m.test_bus.Unplug(pdo);
      EXPECT_TRUE(Reached("IRP_MJ_PNP IRP_MN_REMOVE_DEVICE"));
      EXPECT_EQ(m.io.live_devices(), 0u);
      EXPECT_TRUE(m.io.SymbolicLinks().empty());
      EXPECT_EQ(m.DriverBlocks(), 0u);
      EXPECT_EQ(m.io.UnloadDriver(m.driver), STATUS_SUCCESS);
    });
    ASSERT_TRUE(r.ok()) << r.report;
  }
}

TEST(DriverFrame, NineDeviceNamesThenIoCreateDevicesStatus) {
  FrameMachine m;
  auto r = m.k.Run([&] {
    m.Load();
    std::vector<PDEVICE_OBJECT> pdos(10), fdos(10);
    for (int i = 0; i < 10; ++i) fdos[i] = m.Plug(&pdos[i]);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(m.io.DeviceName(fdos[i]), u"\\Device\\USBTESK" + std::u16string(1, u'0' + i));
    }
    EXPECT_EQ(fdos[9], nullptr);
    EXPECT_EQ(m.test_bus.node(pdos[9])->last_status, STATUS_OBJECT_NAME_COLLISION);
    for (PDEVICE_OBJECT pdo : pdos) m.test_bus.Unplug(pdo);
    EXPECT_EQ(m.io.live_devices(), 0u);
  });
  ASSERT_TRUE(r.ok()) << r.report;
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
      EXPECT_EQ(m.Plug(&pdo), nullptr);
      EXPECT_EQ(m.test_bus.node(pdo)->last_status, STATUS_INSUFFICIENT_RESOURCES);
      m.k.pool().ClearFaults();
      EXPECT_EQ(m.io.live_devices(), 1u);  // the PDO
      for (ULONG t : tags) EXPECT_EQ(m.k.pool().Stats(t).outstanding_blocks, 0u);
      PDEVICE_OBJECT second;
      EXPECT_EQ(m.io.DeviceName(m.Plug(&second)), u"\\Device\\USBTESK0");
      m.test_bus.Unplug(second);
      m.test_bus.Unplug(pdo);
    });
    ASSERT_TRUE(r.ok()) << r.report;
  }
}
