// Descriptors and selections on the bus: reads cut to the asked length, the driver's two-step
// configuration read, configuration and interface selection with their pipe information, and
// what a selection does to the pipes it replaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "sim/converter_rig.h"
#include "usb_bus_test_support.h"

using namespace usb_bus_test;
using namespace sim::converter;

namespace {

struct Selected {
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes;
  UCHAR interface_class = 0;
};

Selected SelectConfiguration(PDEVICE_OBJECT pdo, std::vector<uint8_t>& cd) {
  Selected s;
  PURB urb = SelectConfigurationUrb(cd);
  EXPECT_EQ(Submit(pdo, urb), STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  s.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
  const auto& i = urb->UrbSelectConfiguration.Interface;
  s.interface_class = i.Class;
  s.pipes.assign(i.Pipes, i.Pipes + i.NumberOfPipes);
  ExFreePool(urb);
  return s;
}

// A select-interface URB for interface 0 with room for `pipes` pipes.
std::vector<uint8_t> SelectInterfaceUrb(USBD_CONFIGURATION_HANDLE configuration, UCHAR alternate,
                                        ULONG pipes = 2) {
  // Storage for a whole URB, of which the request takes its own size.
  USHORT size = USHORT(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
  std::vector<uint8_t> bytes(std::max<size_t>(size, sizeof(URB)));
  auto* urb = reinterpret_cast<PURB>(bytes.data());
  UsbBuildSelectInterfaceRequest(urb, size, configuration, 0, alternate);
  urb->UrbSelectInterface.Interface.NumberOfPipes = pipes;
  for (ULONG p = 0; p < pipes; ++p)
    urb->UrbSelectInterface.Interface.Pipes[p].MaximumTransferSize = 8;
  return bytes;
}

}  // namespace

TEST(UsbBusDescriptors, ReadsAreCutToTheAskedLengthAndReportWhatWasReturned) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRigOptions options;
    options.converter.layout = LongLayout();
    sim::ConverterRig rig(m.k, options);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());

    uint8_t head[8] = {};
    URB get = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, head, sizeof head);
    Ticks before = m.k.Now();
    auto pending = Send(pdo, &get);
    EXPECT_EQ(pending->returned, STATUS_PENDING);
    EXPECT_EQ(pending->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(m.k.Now() - before, Milliseconds(1));
    EXPECT_EQ(get.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(head[0], sizeof(USB_DEVICE_DESCRIPTOR));

    // The driver's read: 265 bytes first; a longer descriptor is read again whole.
    std::vector<ULONG> returned;
    std::vector<uint8_t> cd = ReadConfiguration(pdo, ULONG(kFirstConfigurationRead), &returned);
    ASSERT_EQ(returned.size(), 2u);
    EXPECT_EQ(returned[0], kFirstConfigurationRead);
    EXPECT_GT(cd.size(), kFirstConfigurationRead);
    EXPECT_EQ(returned[1], cd.size());
    EXPECT_EQ(cd, BuildConfigurationDescriptor(LongLayout()));

    // A string: 4 bytes, then bLength.
    uint8_t first[4];
    URB s1 = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, kProductString, first, 4);
    ASSERT_EQ(Submit(pdo, &s1), STATUS_SUCCESS);
    std::vector<uint8_t> text(first[0]);
    URB s2 = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, kProductString, text.data(), first[0]);
    ASSERT_EQ(Submit(pdo, &s2), STATUS_SUCCESS);
    EXPECT_EQ(s2.UrbControlDescriptorRequest.TransferBufferLength, first[0]);
    std::u16string product(reinterpret_cast<const char16_t*>(text.data() + 2),
                           (text.size() - 2) / 2);
    EXPECT_EQ(product, u"Simulated USB Serial Converter");

    // What the device does not have is a stall.
    uint8_t none[4];
    URB missing = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 9, none, 4);
    EXPECT_EQ(Submit(pdo, &missing), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(missing.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(missing.UrbControlDescriptorRequest.TransferBufferLength, 0u);

    // A length without a buffer is refused at once.
    URB unbuffered = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, nullptr, 18);
    auto refused = Send(pdo, &unbuffered);
    EXPECT_EQ(refused->returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unbuffered.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusSelection, ConfigurationAndInterfaceReportTheirPipes) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    std::vector<uint8_t> cd = ReadConfiguration(pdo, 9);
    reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data())->bNumInterfaces = 1;

    Selected c = SelectConfiguration(pdo, cd);
    EXPECT_NE(c.configuration, nullptr);
    EXPECT_EQ(c.interface_class, 0xFF);
    ASSERT_EQ(c.pipes.size(), 2u);
    EXPECT_EQ(c.pipes[0].EndpointAddress, kDataInEndpoint);
    EXPECT_EQ(c.pipes[1].EndpointAddress, kDataOutEndpoint);
    for (const auto& p : c.pipes) {
      EXPECT_EQ(p.PipeType, UsbdPipeTypeInterrupt);
      EXPECT_EQ(p.Interval, 10);
      EXPECT_EQ(p.MaximumPacketSize, 8);
      EXPECT_EQ(p.MaximumTransferSize, 8u);
      EXPECT_NE(p.PipeHandle, nullptr);
    }
    EXPECT_NE(c.pipes[0].PipeHandle, c.pipes[1].PipeHandle);
    EXPECT_EQ(rig.converter().configuration(), kConfigurationValue);

    // A transfer above the pipe's MaximumTransferSize is refused.
    uint8_t nine[9] = {};
    URB big = PipeUrb(c.pipes[1].PipeHandle, false, nine, sizeof nine);
    EXPECT_EQ(Submit(pdo, &big), STATUS_INVALID_PARAMETER);

    // Alternate setting 2: interval 64 ms, new handles; the old ones are dead.
    std::vector<uint8_t> si = SelectInterfaceUrb(c.configuration, 2);
    auto* urb = reinterpret_cast<PURB>(si.data());
    ASSERT_EQ(Submit(pdo, urb), STATUS_SUCCESS);
    const auto& i = urb->UrbSelectInterface.Interface;
    ASSERT_EQ(i.NumberOfPipes, 2u);
    EXPECT_EQ(i.AlternateSetting, 2);
    EXPECT_EQ(i.Pipes[0].Interval, 64);
    EXPECT_EQ(i.Pipes[0].EndpointAddress, kDataInEndpoint);
    EXPECT_NE(i.Pipes[0].PipeHandle, c.pipes[0].PipeHandle);
    EXPECT_EQ(rig.converter().alternate_setting(), 2);
    uint8_t chunk[8];
    URB stale = PipeUrb(c.pipes[0].PipeHandle, true, chunk, 8);
    EXPECT_EQ(Submit(pdo, &stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // A setting the configuration does not have, or a wrong configuration handle.
    std::vector<uint8_t> bad = SelectInterfaceUrb(c.configuration, 7);
    EXPECT_EQ(Submit(pdo, reinterpret_cast<PURB>(bad.data())), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reinterpret_cast<PURB>(bad.data())->UrbHeader.Status,
              USBD_STATUS_INTERFACE_NOT_FOUND);
    std::vector<uint8_t> wrong = SelectInterfaceUrb(nullptr, 1);
    EXPECT_EQ(Submit(pdo, reinterpret_cast<PURB>(wrong.data())), STATUS_INVALID_PARAMETER);

    // No descriptor unconfigures the device.
    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(Submit(pdo, &unconfigure), STATUS_SUCCESS);
    EXPECT_EQ(rig.converter().configuration(), 0);
    URB after = PipeUrb(i.Pipes[0].PipeHandle, true, chunk, 8);
    EXPECT_EQ(Submit(pdo, &after), STATUS_INVALID_PARAMETER);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusSelection, SelectionEndsTransfersPendingOnTheReplacedPipes) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    std::vector<uint8_t> cd = ReadConfiguration(pdo, 9);
    Selected c = SelectConfiguration(pdo, cd);
    uint8_t chunk[8];
    URB in = PipeUrb(c.pipes[0].PipeHandle, true, chunk, 8);
    auto pending = Send(pdo, &in);
    Sleep(Milliseconds(30));
    EXPECT_FALSE(pending->done());
    std::vector<uint8_t> si = SelectInterfaceUrb(c.configuration, 1);
    EXPECT_EQ(Submit(pdo, reinterpret_cast<PURB>(si.data())), STATUS_SUCCESS);
    ASSERT_TRUE(pending->done());
    EXPECT_EQ(pending->iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(m.bus.Pending(pdo), 0u);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbBusPnp, PdoIsEnumeratedWithAHardwareIdAndCapabilitiesAndGoesAwayOnUnplug) {
  Machine m;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    host::io::DeviceNode* node = m.pnp.Find(pdo);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->hardware_id, u"USB\\VID_F7A5&PID_0C01");
    EXPECT_EQ(node->state, host::io::DeviceState::kNoDriver);
    EXPECT_EQ(node->capabilities.Address, 1u);
    EXPECT_EQ(node->capabilities.Removable, 1u);
    EXPECT_EQ(node->capabilities.SurpriseRemovalOK, 0u);
    EXPECT_TRUE(pdo->Flags & DO_BUS_ENUMERATED_DEVICE);
    EXPECT_EQ(m.bus.DeviceAddress(pdo), 1);
    EXPECT_TRUE(rig.converter().attached());

    ULONG port_status = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, pdo, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &port_status;
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(port_status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    m.bus.Unplug(pdo);
    Sleep(Milliseconds(1));
    EXPECT_FALSE(rig.converter().attached());
    EXPECT_EQ(m.io.live_devices(), 0u);
    EXPECT_FALSE(m.bus.Present(pdo));
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
