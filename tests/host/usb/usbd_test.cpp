// The USBD library calls as a driver uses them: walking a configuration descriptor and building
// select-configuration requests from pool.
#include <gtest/gtest.h>

#include "host/kernel/kernel.h"
#include "host/usb/descriptors.h"
#include "platform/wdm.h"

using namespace host::kernel;
using namespace host::usb;

namespace {

// Interface 0 in settings 0..2, each with an IN and an OUT interrupt endpoint; setting 1 with a
// vendor descriptor after its endpoints; interface 1 with one bulk endpoint.
Bytes SampleConfiguration() {
  ConfigurationSpec c;
  for (uint8_t alt = 0; alt < 3; ++alt) {
    InterfaceSpec i;
    i.alternate_setting = alt;
    i.endpoints = {{.address = 0x81, .interval = uint8_t(10 >> alt)}, {.address = 0x02}};
    if (alt == 1) i.trailing.push_back(BuildFillerDescriptor(0xFF, 20));
    c.interfaces.push_back(i);
  }
  InterfaceSpec hid;
  hid.number = 1;
  hid.interface_class = 3;
  hid.endpoints = {{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_BULK, .max_packet_size = 64}};
  c.interfaces.push_back(hid);
  return BuildConfigurationDescriptor(c);
}

PUSB_CONFIGURATION_DESCRIPTOR Cd(Bytes& b) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
}

}  // namespace

TEST(UsbdParse, FindsInterfacesByEveryCriterion) {
  Bytes b = SampleConfiguration();
  auto* cd = Cd(b);
  ASSERT_EQ(cd->wTotalLength, b.size());
  EXPECT_EQ(cd->bNumInterfaces, 2);

  auto* s1 = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1);
  ASSERT_NE(s1, nullptr);
  EXPECT_EQ(s1->bAlternateSetting, 1);
  auto* ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(reinterpret_cast<PUCHAR>(s1) + 9);
  EXPECT_EQ(ep->bInterval, 5);

  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 3, -1, -1, -1), nullptr);
  auto* hid = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 3, -1, -1);
  ASSERT_NE(hid, nullptr);
  EXPECT_EQ(hid->bInterfaceNumber, 1);
  // A start position past a setting finds the next one only.
  auto* after = USBD_ParseConfigurationDescriptorEx(cd, reinterpret_cast<PUCHAR>(s1) + s1->bLength,
                                                    0, -1, -1, -1, -1);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->bAlternateSetting, 2);
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(cd, 0, 2), after);
  // Setting 1 spans its interface, two endpoints and the vendor descriptor.
  EXPECT_EQ(USBD_GetInterfaceLength(s1, b.data() + b.size()), 9u + 7 + 7 + 22);
  auto* vendor = USBD_ParseDescriptors(cd, cd->wTotalLength, cd, 0xFF);
  ASSERT_NE(vendor, nullptr);
  EXPECT_EQ(vendor->bLength, 22);
}

TEST(UsbdParse, StopsAtBrokenDescriptorsInsteadOfReadingPastTheEnd) {
  Bytes b = SampleConfiguration();
  // wTotalLength cut in the middle of setting 1's endpoints: later settings are not found.
  Cd(b)->wTotalLength = 9 + 9 + 14 + 9 + 3;
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(Cd(b), Cd(b), 0, 1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Cd(b), Cd(b), 0, 2, -1, -1, -1), nullptr);
  // A zero bLength ends the walk rather than looping on it.
  Bytes z = SampleConfiguration();
  z[9] = 0;
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Cd(z), Cd(z), -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(
      USBD_ParseDescriptors(z.data(), ULONG(z.size()), z.data() + 9, USB_ENDPOINT_DESCRIPTOR_TYPE),
      nullptr);
}

TEST(UsbdConfigurationRequest, ExBuildsOneRecordPerListEntryFromPool) {
  Kernel k;
  auto r = k.Run([&] {
    Bytes b = SampleConfiguration();
    auto* cd = Cd(b);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 2, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    EXPECT_EQ(first, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(first->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(first->AlternateSetting, 2);
    EXPECT_EQ(first->NumberOfPipes, 2u);
    EXPECT_EQ(first->Pipes[1].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface),
              reinterpret_cast<PUCHAR>(first) + first->Length);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    ExFreePool(urb);

    k.pool().FailNth(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbdConfigurationRequest, PlainFormTakesSettingZeroOfEachInterface) {
  Kernel k;
  auto r = k.Run([&] {
    Bytes b = SampleConfiguration();
    USHORT size = 1;
    PURB urb = USBD_CreateConfigurationRequest(Cd(b), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, urb->UrbHeader.Length);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.AlternateSetting, 0);
    ExFreePool(urb);

    // With bNumInterfaces 1 (as a driver that wants interface 0 only sets it): one record.
    Cd(b)->bNumInterfaces = 1;
    urb = USBD_CreateConfigurationRequest(Cd(b), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
    ExFreePool(urb);

    Cd(b)->bNumInterfaces = 0;
    EXPECT_EQ(USBD_CreateConfigurationRequest(Cd(b), &size), nullptr);
    EXPECT_EQ(size, 0);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(UsbdLayouts, BuildersFillTheFieldsTheBusReads) {
  URB urb{};
  UCHAR buffer[18];
  UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof buffer,
                               nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);

  URB select{};
  UsbBuildSelectInterfaceRequest(&select, GET_SELECT_INTERFACE_REQUEST_SIZE(2), nullptr, 0, 1);
  EXPECT_EQ(select.UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(2));

  USBD_VERSION_INFORMATION v{};
  USBD_GetUSBDIVersion(&v);
  EXPECT_GT(v.USBDI_Version, 0u);
  EXPECT_EQ(v.Supported_USB_Version, 0x200u);
  EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003);
}
