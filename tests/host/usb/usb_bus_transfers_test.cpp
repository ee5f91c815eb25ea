// Transfers on the bus: vendor requests acting on the line and the reader, IN transfers at the
// endpoint's interval, cancellation keeping the bytes moved, requests that never complete until
// cancelled, stalls, and unplugging.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "host/io/system_irp.h"
#include "host/usb/usb_bus_port.h"
#include "sim/converter/converter_protocol.h"
#include "sim/converter_rig.h"
#include "tests/host/kernel/kernel_test_support.h"
#include "usb_bus_test_support.h"

using namespace usb_bus_test;
using namespace sim::converter;

namespace {

struct Configured {
  USBD_PIPE_HANDLE in = nullptr;
  USBD_PIPE_HANDLE out = nullptr;
};

// Configuration, then the alternate setting (intervals 10, 24, 64 ms: polled every 8, 16, 32 ms).
Configured Configure(PDEVICE_OBJECT pdo, UCHAR alternate = 0) {
  std::vector<uint8_t> cd = ReadConfiguration(pdo, 9);
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, alternate, -1, -1, -1);
  PURB urb = USBD_CreateConfigurationRequestEx(c, list);
  EXPECT_EQ(Submit(pdo, urb), STATUS_SUCCESS);
  Configured result;
  const auto& i = urb->UrbSelectConfiguration.Interface;
  for (ULONG p = 0; p < i.NumberOfPipes; ++p) {
    (USB_ENDPOINT_DIRECTION_IN(i.Pipes[p].EndpointAddress) ? result.in : result.out) =
        i.Pipes[p].PipeHandle;
  }
  ExFreePool(urb);
  return result;
}

NTSTATUS VendorOut(PDEVICE_OBJECT pdo, UCHAR request, USHORT value) {
  URB v = VendorUrb(request, value, false, nullptr, 0);
  return Submit(pdo, &v);
}

void SetLink(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(VendorOut(pdo, kRequestLineSettings, kRate9600), STATUS_SUCCESS);
  ASSERT_EQ(VendorOut(pdo, kRequestLineSettings, kParityEven | kStopBitsOne), STATUS_SUCCESS);
}

// A full-speed device with one bulk IN endpoint whose packets a test queues.
class BulkDevice : public host::usb::UsbDevice {
 public:
  static constexpr uint8_t kEndpoint = 0x81;
  static constexpr uint16_t kPacket = 8;
  std::deque<std::vector<uint8_t>> packets;

  host::usb::UsbSpeed Speed() const override { return host::usb::UsbSpeed::kFull; }
  void Attached(host::usb::UsbBusPort*) override {}
  void Detached() override {}
  std::vector<uint8_t> DeviceDescriptor() const override {
    return host::usb::BuildDeviceDescriptor({.vendor_id = 0xF7A5, .product_id = 0x0C02});
  }
  std::optional<std::vector<uint8_t>> ConfigurationDescriptor(uint8_t) const override {
    host::usb::ConfigurationSpec c;
    host::usb::InterfaceSpec i;
    i.endpoints = {{.address = kEndpoint,
                    .attributes = USB_ENDPOINT_TYPE_BULK,
                    .max_packet_size = kPacket,
                    .interval = 0}};
    c.interfaces.push_back(i);
    return host::usb::BuildConfigurationDescriptor(c);
  }
  std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t, uint16_t) const override {
    return std::nullopt;
  }
  host::usb::Handshake SetConfiguration(uint8_t) override { return host::usb::Handshake::kAck; }
  host::usb::Handshake SetInterface(uint8_t, uint8_t) override {
    return host::usb::Handshake::kAck;
  }
  void ControlTransfer(const host::usb::SetupPacket&, std::span<const uint8_t>,
                       host::usb::ControlCompletion done) override {
    done({host::usb::Handshake::kStall, {}});
  }
  void CancelControl() override {}
  host::usb::InPacket PollIn(uint8_t, uint16_t max_length) override {
    if (packets.empty()) return {};
    std::vector<uint8_t> p = packets.front();
    packets.pop_front();
    p.resize(std::min<size_t>(p.size(), max_length));
    return {host::usb::Handshake::kAck, p};
  }
  host::usb::Handshake Out(uint8_t, std::span<const uint8_t>) override {
    return host::usb::Handshake::kStall;
  }
  void ClearHalt(uint8_t) override {}
};

}  // namespace

TEST(UsbBusControl, LineSettingsModemLinesAndStatusReachTheLineAndTheReader) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    Configure(pdo);
    ASSERT_EQ(VendorOut(pdo, kRequestLineSettings, kRate19200 | kParityOdd | kStopBitsTwo),
              STATUS_SUCCESS);
    EXPECT_EQ(rig.line().converter_end().settings(),
              (sim::UartSettings{19200, 8, sim::Parity::kOdd, 2}));
    SetLink(pdo);
    EXPECT_EQ(rig.line().converter_end().settings(), sim::kLinkSettings);

    // DTR powers the reader; dropping it powers the reader off.
    ASSERT_EQ(VendorOut(pdo, kRequestModemLines, kDtrOn | kRtsOn), STATUS_SUCCESS);
    EXPECT_TRUE(rig.line().dtr());
    EXPECT_TRUE(rig.line().rts());
    Sleep(Milliseconds(120));
    EXPECT_TRUE(rig.reader().booted());
    ASSERT_EQ(VendorOut(pdo, kRequestModemLines, kDtrOff), STATUS_SUCCESS);
    Sleep(Milliseconds(1));
    EXPECT_FALSE(rig.line().dtr());
    EXPECT_FALSE(rig.reader().booted());
    EXPECT_EQ(rig.line().modem_counters().dtr_rises, 1u);

    // A status port read: 8 bytes, the ready bit set with an empty transmit FIFO.
    uint8_t reply[8] = {};
    URB status = VendorUrb(kRequestPort, kPortFlow, true, reply, sizeof reply);
    ASSERT_EQ(Submit(pdo, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.UrbControlVendorClassRequest.TransferBufferLength, 8u);
    EXPECT_TRUE(reply[kFlowReadyByte] & kFlowReadyForData);

    // A request the converter refuses is a stall.
    URB refused = VendorUrb(0x77, 0, false, nullptr, 0);
    EXPECT_EQ(Submit(pdo, &refused), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.UrbHeader.Status, USBD_STATUS_STALL_PID);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusPipes, InTransfersCompleteAtTheFirstPollWithDataOnePacketEach) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    Configured pipes = Configure(pdo);
    SetLink(pdo);
    // Alternate setting 1 (bInterval 24) is polled every 16 ms.
    std::vector<uint8_t> cd = ReadConfiguration(pdo, 9);
    URB rd{};
    uint8_t chunk[8];
    USHORT select_size = USHORT(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
    std::vector<uint8_t> bytes(std::max<size_t>(select_size, sizeof(URB)));  // a whole URB's room
    auto* si = reinterpret_cast<PURB>(bytes.data());
    {
      // Re-select to get the configuration handle, then setting 1.
      auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data());
      PURB sc = USBD_CreateConfigurationRequest(c, nullptr);
      ASSERT_EQ(Submit(pdo, sc), STATUS_SUCCESS);
      UsbBuildSelectInterfaceRequest(si, select_size,
                                     sc->UrbSelectConfiguration.ConfigurationHandle, 0, 1);
      ExFreePool(sc);
      si->UrbSelectInterface.Interface.NumberOfPipes = 2;
      ASSERT_EQ(Submit(pdo, si), STATUS_SUCCESS);
      pipes.in = si->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
    }
    constexpr Ticks kInterval = Milliseconds(16);
    rd = PipeUrb(pipes.in, true, chunk, 8);
    auto pending = Send(pdo, &rd);
    Sleep(Milliseconds(50));
    EXPECT_FALSE(pending->done());  // NAKed at every poll: nothing on the line

    // Twelve characters from the far end, back to back: 12 x 11 / 9600 s = 13.75 ms.
    std::vector<uint8_t> sent(12);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(0x30 + i);
    Ticks start = m.k.Now();
    rig.line().reader_end().Transmit(sent);
    ASSERT_EQ(pending->Wait(), STATUS_SUCCESS);
    Ticks first_char = start + sim::CharacterTime(sim::kLinkSettings);
    // The first poll after the first character arrived.
    EXPECT_EQ(m.k.Now(), (first_char / kInterval + 1) * kInterval);
    ULONG n = rd.UrbBulkOrInterruptTransfer.TransferBufferLength;
    EXPECT_GE(n, 1u);
    std::vector<uint8_t> got(chunk, chunk + n);
    while (got.size() < sent.size()) {
      Ticks before = m.k.Now();
      rd = PipeUrb(pipes.in, true, chunk, 8);
      ASSERT_EQ(Submit(pdo, &rd), STATUS_SUCCESS);
      EXPECT_EQ(m.k.Now() % kInterval, 0);
      EXPECT_GE(m.k.Now() - before, kInterval);
      n = rd.UrbBulkOrInterruptTransfer.TransferBufferLength;
      ASSERT_LE(n, 8u);
      got.insert(got.end(), chunk, chunk + n);
    }
    EXPECT_EQ(got, sent);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// The period Windows polls a low- or full-speed interrupt endpoint at, from its bInterval.
TEST(UsbBusPipes, InterruptPollingPeriodIsBIntervalRoundedDownToAPowerOfTwoAtMost32Ms) {
  const std::pair<int, int> table[] = {{1, 1},  {3, 2},   {4, 4},   {7, 4},   {8, 8},
                                       {15, 8}, {16, 16}, {31, 16}, {32, 32}, {255, 32}};
  for (auto [interval, period] : table) {
    host::usb::UsbPipe pipe;
    pipe.interval = uint8_t(interval);
    EXPECT_EQ(pipe.Period(), Milliseconds(period)) << interval;
  }
}

TEST(UsbBusCancel, CancelledTransfersCompleteByTheNextFrameAndKeepTheBytesMoved) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    Configured pipes = Configure(pdo);
    SetLink(pdo);

    // An OUT transfer of 16 bytes moves one 8-byte packet per 8 ms poll (bInterval 10); cancelled
    // after the first, it reports 8.
    uint8_t sixteen[16] = {};
    URB big = PipeUrb(pipes.out, false, sixteen, sizeof sixteen);
    std::vector<uint8_t> cd;
    // MaximumTransferSize was left at the library's default, so 16 bytes are allowed.
    auto out = Send(pdo, &big);
    ASSERT_EQ(out->returned, STATUS_PENDING);
    Ticks first_poll = (m.k.Now() / Milliseconds(8) + 1) * Milliseconds(8);
    m.k.SleepFor(first_poll + Milliseconds(1) - m.k.Now());  // just after the first poll
    EXPECT_FALSE(out->done());
    Ticks at = m.k.Now();
    EXPECT_TRUE(IoCancelIrp(out->irp));
    // On the bus: it completes inside IoCancelIrp or at the next frame.
    EXPECT_EQ(out->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(big.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(big.UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
    EXPECT_LE(m.k.Now() - at, Milliseconds(1));
    Sleep(Milliseconds(30));
    EXPECT_EQ(rig.converter().counters().bytes_transmitted, 8u);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusCancel, CancelledBulkInKeepsThePacketsItReceived) {
  Machine m;
  BulkDevice device;
  auto r = m.k.Run([&] {
    PDEVICE_OBJECT pdo = m.bus.Plug(device);
    std::vector<uint8_t> cd = ReadConfiguration(pdo, 9);
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data());
    PURB sc = USBD_CreateConfigurationRequest(c, nullptr);
    ASSERT_EQ(Submit(pdo, sc), STATUS_SUCCESS);
    USBD_PIPE_INFORMATION pipe = sc->UrbSelectConfiguration.Interface.Pipes[0];
    ExFreePool(sc);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);

    device.packets = {std::vector<uint8_t>(8, 1), std::vector<uint8_t>(8, 2)};
    uint8_t buffer[32] = {};
    URB in = PipeUrb(pipe.PipeHandle, true, buffer, sizeof buffer);
    auto pending = Send(pdo, &in);
    Sleep(Milliseconds(5));  // two full packets, then NAKs: the transfer waits for more
    ASSERT_FALSE(pending->done());
    IoCancelIrp(pending->irp);
    EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 16u);
    EXPECT_EQ(buffer[7], 1);
    EXPECT_EQ(buffer[15], 2);
    EXPECT_EQ(buffer[16], 0);

    // A short packet ends a bulk transfer.
    device.packets = {std::vector<uint8_t>(8, 3), std::vector<uint8_t>(3, 4)};
    in = PipeUrb(pipe.PipeHandle, true, buffer, sizeof buffer);
    ASSERT_EQ(Submit(pdo, &in), STATUS_SUCCESS);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 11u);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusCancel, RequestsThatNeverCompleteWaitUntilCancelled) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    Configured pipes = Configure(pdo);
    SetLink(pdo);

    // An IN endpoint that never delivers, with bytes waiting.
    rig.converter().SetInHang(kDataInEndpoint, true);
    rig.line().reader_end().Transmit({0x21, 0x00});
    uint8_t chunk[8];
    URB in = PipeUrb(pipes.in, true, chunk, 8);
    auto hanging = Send(pdo, &in);
    Sleep(Seconds(10));
    EXPECT_FALSE(hanging->done());
    EXPECT_EQ(m.bus.Pending(pdo), 1u);
    IoCancelIrp(hanging->irp);
    EXPECT_EQ(hanging->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);

    // A control request the converter never answers; after the cancel the default pipe
    // carries the next one.
    rig.converter().AddControlFault({kRequestModemLines, sim::ControlFaultKind::kNeverComplete});
    URB dtr = VendorUrb(kRequestModemLines, kDtrOn, false, nullptr, 0);
    auto control = Send(pdo, &dtr);
    URB queued = VendorUrb(kRequestModemLines, kRtsOn, false, nullptr, 0);
    auto next = Send(pdo, &queued);
    Sleep(Seconds(5));
    EXPECT_FALSE(control->done());
    EXPECT_FALSE(next->done());  // one control transfer at a time
    IoCancelIrp(control->irp);
    EXPECT_EQ(control->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(next->Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(rig.line().rts());
    EXPECT_FALSE(rig.line().dtr());
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// A converter whose IN endpoint never delivers; body gets an interrupt IN URB for it.
RunResult WithHangingIn(uint64_t seed,
                        const std::function<void(Machine&, PDEVICE_OBJECT, URB&)>& body) {
  Machine m(seed);
  return m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    rig.converter().SetInHang(kDataInEndpoint, true);
    uint8_t chunk[8];
    URB in = PipeUrb(Configure(pdo).in, true, chunk, 8);
    body(m, pdo, in);
    m.bus.Unplug(pdo);
  });
}

// The window Windows allows: IoCancelIrp has returned, the transfer is still in flight.
TEST(UsbBusCancel, ATransferOnTheBusCompletesInsideIoCancelIrpOrAtTheNextFrame) {
  int inside = 0, later = 0;
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    auto r = WithHangingIn(seed, [&](Machine& m, PDEVICE_OBJECT pdo, URB& in) {
      auto hanging = Send(pdo, &in);
      m.k.SleepFor(Milliseconds(25) + Microseconds(300));
      Ticks at = m.k.Now();
      EXPECT_TRUE(IoCancelIrp(hanging->irp));
      bool in_flight = !hanging->done();
      (in_flight ? later : inside)++;
      EXPECT_EQ(hanging->Wait(), STATUS_CANCELLED);
      EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_CANCELED);
      EXPECT_EQ(m.k.Now(), in_flight ? (at / Milliseconds(1) + 1) * Milliseconds(1) : at);
    });
    EXPECT_TRUE(r.ok()) << "seed " << seed << ": " << r.report;
  }
  EXPECT_GT(inside, 0);
  EXPECT_GT(later, 0);
}

TEST(UsbBusCancel, CancellingUnderASpinLockTheCompletionRoutineTakesStopsOnEitherCourse) {
  static KSPIN_LOCK lock;
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    auto r = WithHangingIn(seed, [&](Machine&, PDEVICE_OBJECT pdo, URB& in) {
      KeInitializeSpinLock(&lock);
      PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0,
                                               nullptr, 0, TRUE, nullptr, nullptr);
      IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &in;
      IoSetCompletionRoutine(  // at DISPATCH_LEVEL on either course
          irp,
          [](PDEVICE_OBJECT, PIRP, PVOID) {
            KeAcquireSpinLockAtDpcLevel(&lock);
            KeReleaseSpinLockFromDpcLevel(&lock);
            return NTSTATUS(STATUS_SUCCESS);
          },
          nullptr, TRUE, TRUE, TRUE);
      IoCallDriver(pdo, irp);
      Sleep(Milliseconds(30));
      KIRQL irql;
      KeAcquireSpinLock(&lock, &irql);
      IoCancelIrp(irp);
      KeReleaseSpinLock(&lock, irql);
      Sleep(Milliseconds(30));
    });
    host::kernel::testing::ExpectBugCheck(
        r, "KeAcquireSpinLock", "taking a spin lock that was held by the thread that cancelled");
  }
}

// A device its driver put into D3 sits on a suspended port: a transfer pending on a pipe is held,
// its endpoint not polled, until the return to D0; a new URB fails at once.
TEST(UsbBusPower, ADeviceInD3HoldsItsPendingTransferAndRefusesNewUrbs) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    Configured pipes = Configure(pdo);
    SetLink(pdo);
    auto power = [&](DEVICE_POWER_STATE state) {
      host::io::SendSystemIrp(m.io, pdo, "power manager", IRP_MJ_POWER, IRP_MN_SET_POWER,
                              [&](PIRP, PIO_STACK_LOCATION next) {
                                next->Parameters.Power.Type = DevicePowerState;
                                next->Parameters.Power.State.DeviceState = state;
                              });
    };
    uint8_t chunk[8] = {};
    URB in = PipeUrb(pipes.in, true, chunk, 8);
    auto reading = Send(pdo, &in);
    power(PowerDeviceD3);
    rig.line().reader_end().Transmit({0x41});
    Sleep(Milliseconds(200));
    EXPECT_FALSE(reading->done());
    uint8_t reply[8];
    URB status = VendorUrb(kRequestPort, kPortFlow, true, reply, sizeof reply);
    EXPECT_EQ(Submit(pdo, &status), STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(status.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    power(PowerDeviceD0);
    ASSERT_EQ(reading->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(chunk[0], 0x41);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusUnplug, PendingAndNewUrbsFailWithDeviceNotConnected) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    Configured pipes = Configure(pdo);
    rig.converter().AddControlFault({std::nullopt, sim::ControlFaultKind::kNeverComplete});
    uint8_t chunk[8];
    URB in = PipeUrb(pipes.in, true, chunk, 8);
    auto reading = Send(pdo, &in);
    URB control = VendorUrb(kRequestPurge, kPurgeReceive, false, nullptr, 0);
    auto purging = Send(pdo, &control);
    Sleep(Milliseconds(25));
    m.bus.Unplug(pdo);
    ASSERT_TRUE(reading->done());
    EXPECT_EQ(reading->iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ASSERT_TRUE(purging->done());
    EXPECT_EQ(purging->iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    Sleep(Milliseconds(1));
    EXPECT_FALSE(rig.converter().attached());
    EXPECT_EQ(m.io.live_devices(), 0u);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusUnplug, DeviceLeavingDuringATransferFailsItAndLaterUrbs) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    Configured pipes = Configure(pdo);
    rig.converter().UnplugOnInPoll(3);
    uint8_t chunk[8];
    URB in = PipeUrb(pipes.in, true, chunk, 8);
    auto reading = Send(pdo, &in);
    Ticks start = m.k.Now();
    EXPECT_EQ(reading->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    // Polls at the next three 8 ms marks (bInterval 10); the third one finds the device gone.
    EXPECT_EQ(m.k.Now(), (start / Milliseconds(8) + 3) * Milliseconds(8));
    URB later = PipeUrb(pipes.in, true, chunk, 8);
    auto refused = Send(pdo, &later);
    EXPECT_EQ(refused->returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(later.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    m.pnp.WaitIdle();
    Sleep(Milliseconds(1));
    EXPECT_EQ(m.io.live_devices(), 0u);
    EXPECT_FALSE(rig.converter().attached());
    auto records = m.bus.trace().Records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.back().status, STATUS_DEVICE_NOT_CONNECTED);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
