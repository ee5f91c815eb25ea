// The transport against a bus scripted by the test, for what the simulated converter cannot do:
// a cancelled transfer that completes a frame after IoCancelIrp and keeps the bytes it moved,
// a converter that never reports ready, and configuration descriptors that lie.
#include "driver_rig.h"
#include "host/io/test_bus.h"

using namespace driver_test;

namespace {

constexpr Ticks kFrame = Milliseconds(1);
const std::vector<UCHAR> kKept = {0x61, 0x62, 0x63};
constexpr uintptr_t kInHandle = 1;
constexpr uintptr_t kOutHandle = 2;

PURB UrbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// A cancelled IN transfer completes one frame later, with the bytes it had moved.
VOID CancelAFrameLater(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Kernel::Current().ScheduleAfter(kFrame, [irp] {
    auto& t = UrbOf(irp)->UrbBulkOrInterruptTransfer;
    std::copy(kKept.begin(), kKept.end(), static_cast<UCHAR*>(t.TransferBuffer));
    t.TransferBufferLength = ULONG(kKept.size());
    host::io::BusDriver::Complete(irp, STATUS_CANCELLED);
  });
}

struct ScriptedConverter {
  explicit ScriptedConverter(DriverMachine& m) : bus(m.io, m.pnp) {}
  host::io::TestBus bus;
  PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
  PDEVICE_EXTENSION ext = nullptr;
  std::vector<std::vector<UCHAR>> configuration_answers;  // one per configuration read
  size_t out_transfers = 0, configuration_reads = 0, selections = 0;
  // An interrupt IN and OUT pipe, as a selection would have entered them.
  USBD_PIPE_INFORMATION pipes[2] = {
      {8, 0x81, 10, UsbdPipeTypeInterrupt, (USBD_PIPE_HANDLE)kInHandle, 8, 0},
      {8, 0x02, 10, UsbdPipeTypeInterrupt, (USBD_PIPE_HANDLE)kOutHandle, 8, 0}};

  NTSTATUS Serve(PIRP irp) {
    PURB urb = UrbOf(irp);
    if (gone) return host::io::BusDriver::Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    switch (urb->UrbHeader.Function) {
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        if (urb->UrbBulkOrInterruptTransfer.PipeHandle == (USBD_PIPE_HANDLE)kOutHandle) {
          ++out_transfers;
          return host::io::BusDriver::Complete(irp, STATUS_SUCCESS);
        }
        IoMarkIrpPending(irp);  // IN: nothing arrives until it is cancelled
        pending_in = irp;
        IoSetCancelRoutine(irp, CancelAFrameLater);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) CancelAFrameLater(nullptr, irp);
        return STATUS_PENDING;
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& d = urb->UrbControlDescriptorRequest;
        const auto& answer = configuration_answers.at(configuration_reads++);
        d.TransferBufferLength = std::min<ULONG>(d.TransferBufferLength, ULONG(answer.size()));
        std::copy_n(answer.begin(), d.TransferBufferLength, static_cast<UCHAR*>(d.TransferBuffer));
        return host::io::BusDriver::Complete(irp, STATUS_SUCCESS);
      }
      default:  // a selection, or the flow-control port: 8 zero bytes, never ready
        selections += urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION;
        return host::io::BusDriver::Complete(irp, STATUS_SUCCESS);
    }
  }
  // Plugs the device with the driver's AddDevice called by hand, so that nothing starts it; the
  // pipe table is the one a selection of `pipes` would have built.
  void Plug(DriverMachine& m) {
    host::io::TestDevice device;
    device.internal_device_control = [this](PDEVICE_OBJECT, PIRP irp) { return Serve(irp); };
    pdo = bus.Plug(device);
    ASSERT_EQ(AddDevice(m.driver, pdo), STATUS_SUCCESS);
    fdo = m.io.AttachedDevice(pdo);
    ext = DeviceExtensionOf(fdo);
    for (int i = 0; i < 2; ++i) ext->Pipes[i].PipeInfo = &pipes[i];
    ext->InPipe = &ext->Pipes[0];
    ext->OutPipe = &ext->Pipes[1];
  }
  // The converter leaves the bus without the bus telling Plug and Play yet: the pending IN
  // transfer and every later URB fail with STATUS_DEVICE_NOT_CONNECTED.
  void Leave() {
    gone = true;
    if (pending_in && IoSetCancelRoutine(pending_in, nullptr)) {
      host::io::BusDriver::Complete(pending_in, STATUS_DEVICE_NOT_CONNECTED);
    }
    pending_in = nullptr;
  }
  bool gone = false;
  PIRP pending_in = nullptr;
  // The driver's own teardown, then the device goes.
  void Remove() {
    TearDownDevice(fdo);
    bus.Unplug(pdo);
  }
};

}  // namespace

TEST(UsbScriptedBus, CancelledTransfersThatCompleteLaterKeepTheirBytesAndAWriteGivesUp) {
  DriverMachine m;
  auto r = m.k.Run([&] {
    m.Load();
    ScriptedConverter c(m);
    c.Plug(m);
    ASSERT_EQ(StartReadingThread(c.fdo), STATUS_SUCCESS);
    EXPECT_EQ(ReadIrp(c.fdo, 0).status, STATUS_TIMEOUT);  // reading on: an IN transfer pends
    Sleep(kFrame);

    // A write cancels the pending IN transfer; its bytes reach the queue, the chunk goes out.
    Ticks start = m.k.Now();
    EXPECT_EQ(WriteIrp(c.fdo, {1, 2, 3}).information, 3u);
    EXPECT_EQ(m.k.Now() - start, kFrame);
    EXPECT_EQ(c.out_transfers, 1u);
    start = m.k.Now();
    EXPECT_EQ(ReadIrp(c.fdo, 3).data, kKept);
    EXPECT_EQ(m.k.Now(), start);

    // The watchdog's cancel completes a frame later too; the bytes are kept as well.
    start = m.k.Now();
    c.ext->Timeouts = {0, 0, 4000, 0, 0};
    EXPECT_EQ(ReadIrp(c.fdo, 3).data, kKept);
    EXPECT_TRUE(TookAbout(m.k.Now() - start, Milliseconds(2500) + kFrame));

    // Flow control on a converter that never reports ready: the write fails, bounded.
    c.ext->FlowControl = TRUE;
    start = m.k.Now();
    IrpResult stuck = WriteIrp(c.fdo, std::vector<UCHAR>(9, 0x55));
    EXPECT_EQ(stuck.outcome(), IrpOutcome(STATUS_IO_TIMEOUT, 0));
    EXPECT_EQ(c.out_transfers, 2u);  // the first chunk only
    // The give-up reads the interrupt time, which moves in whole clock ticks.
    EXPECT_TRUE(TookAbout(m.k.Now() - start + kClockTick, Milliseconds(2500),
                          Milliseconds(8) + 3 * kClockTick));
    EXPECT_EQ(c.ext->CurrentUrbIrp, nullptr);
    c.Remove();
    EXPECT_EQ(m.DriverBlocks(), 0u);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// A configuration descriptor shorter than its header, or one whose wTotalLength is below the
// header or beyond what the device returned, selects nothing and leaves no pipe table.
TEST(UsbScriptedBus, ConfigurationDescriptorsThatLieSelectNothing) {
  auto header = [](USHORT total, size_t returned) {
    std::vector<UCHAR> cd(returned, 0);
    std::vector<UCHAR> h = {
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, UCHAR(total), UCHAR(total >> 8), 1, 1, 0, 0x80, 50};
    std::copy_n(h.begin(), std::min(h.size(), returned), cd.begin());
    return cd;
  };
  std::vector<std::vector<std::vector<UCHAR>>> cases = {
      {header(32, 5)},                      // shorter than 9 bytes
      {header(4, 32)},                      // wTotalLength below the header
      {header(200, 100)},                   // more claimed than returned
      {header(300, 265), header(400, 300)}  // grows again on the second read
  };
  for (auto& answers : cases) {
    DriverMachine m;
    auto r = m.k.Run([&] {
      m.Load();
      ScriptedConverter c(m);
      c.configuration_answers = answers;
      c.Plug(m);
      EXPECT_EQ(SelectConfiguration(c.fdo), STATUS_DEVICE_DATA_ERROR);
      EXPECT_EQ(c.configuration_reads, answers.size());
      EXPECT_EQ(c.selections, 0u);
      EXPECT_EQ(c.ext->ConfigurationDescriptor, nullptr);
      EXPECT_EQ(BuildPipeTable(c.fdo), STATUS_INVALID_DEVICE_STATE);
      EXPECT_TRUE(c.ext->InPipe == nullptr && c.ext->OutPipe == nullptr);
      EXPECT_EQ(WriteIrp(c.fdo, {1}).status, STATUS_INVALID_HANDLE);
      c.Remove();
    });
    ASSERT_TRUE(r.ok()) << r.report;
  }
}

// Descriptor chains that do not hold together inside wTotalLength are refused where the
// configuration descriptor is read, before any parser or the selection walks them.
TEST(UsbScriptedBus, DescriptorChainsThatDoNotHoldTogetherSelectNothing) {
  // Header, interface 0 with two endpoints, the IN and the OUT endpoint: 32 bytes.
  auto chain = [](UCHAR endpoints, std::vector<UCHAR> tail, std::optional<USHORT> total = {}) {
    std::vector<UCHAR> cd = {
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0,    0, 1,         1,    0, 0x80, 50,
        9, USB_INTERFACE_DESCRIPTOR_TYPE,     0,    0, endpoints, 0xFF, 0, 0,    0,
        7, USB_ENDPOINT_DESCRIPTOR_TYPE,      0x81, 3, 8,         0,    10};
    // One at a time: GCC 12 at -O3 warns of a false out-of-bounds copy in the range insert.
    for (UCHAR b : tail) cd.push_back(b);
    USHORT length = total.value_or(USHORT(cd.size()));
    cd[2] = UCHAR(length), cd[3] = UCHAR(length >> 8);
    return cd;
  };
  const std::vector<UCHAR> out = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, 3, 8, 0, 10};
  struct Case {
    const char* shape;
    std::vector<UCHAR> cd;
  };
  std::vector<Case> cases = {
      {"a descriptor of length 0", chain(2, {0, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, 3, 8, 0, 10})},
      {"a descriptor of length 1", chain(2, {1, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, 3, 8, 0, 10})},
      {"an endpoint running past wTotalLength", chain(2, out, 29)},
      {"more endpoints counted than present", chain(3, out)},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.shape);
    DriverMachine m;
    auto r = m.k.Run([&] {
      m.Load();
      ScriptedConverter c(m);
      c.configuration_answers = {k.cd};
      c.Plug(m);
      EXPECT_EQ(SelectConfiguration(c.fdo), STATUS_DEVICE_DATA_ERROR);
      EXPECT_EQ(c.selections, 0u);
      EXPECT_EQ(c.ext->ConfigurationDescriptor, nullptr);
      c.Remove();
    });
    ASSERT_TRUE(r.ok()) << r.report;
  }
  // The same chain whole is selected.
  DriverMachine m;
  auto r = m.k.Run([&] {
    m.Load();
    ScriptedConverter c(m);
    c.configuration_answers = {chain(2, out)};
    c.Plug(m);
    EXPECT_EQ(SelectConfiguration(c.fdo), STATUS_SUCCESS);
    EXPECT_EQ(c.selections, 1u);
    c.Remove();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// The reading thread finds the converter gone before Plug and Play has heard of it; a power-up
// that completes then must not make the device usable again: requests stay refused.
TEST(UsbScriptedBus, APowerUpAfterTheConverterWasFoundGoneLeavesTheDeviceUnusable) {
  DriverMachine m;
  auto r = m.k.Run([&] {
    m.Load();
    ScriptedConverter c(m);
    c.Plug(m);
    ASSERT_EQ(StartReadingThread(c.fdo), STATUS_SUCCESS);
    EXPECT_EQ(ReadIrp(c.fdo, 0).status, STATUS_TIMEOUT);  // reading on: an IN transfer pends
    Sleep(kFrame);
    c.Leave();
    Sleep(kFrame);
    host::io::SendSystemIrp(m.io, c.fdo, "power manager", IRP_MJ_POWER, IRP_MN_SET_POWER,
                            [](PIRP, PIO_STACK_LOCATION next) {
                              next->Parameters.Power.Type = DevicePowerState;
                              next->Parameters.Power.State.DeviceState = PowerDeviceD0;
                            });
    EXPECT_EQ(WriteIrp(c.fdo, {1, 2, 3}).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(c.out_transfers, 0u);
    c.Remove();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
