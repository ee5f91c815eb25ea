// The converter's descriptors as the driver reads them: a low-speed device, one configuration,
// interface 0 in alternate settings with interrupt endpoints, and the layout variants.
#include "host/usb/descriptors.h"

#include <gtest/gtest.h>

#include "converter_bench.h"

using namespace converter_test;
using host::usb::ParseConfiguration;

namespace {

std::vector<uint8_t> Configuration(const DescriptorLayout& layout) {
  Kernel k;
  FakeLinePort line(k);
  sim::ConverterOptions options;
  options.layout = layout;
  sim::UsbSerialConverter c(k, line, options);
  return *c.ConfigurationDescriptor(0);
}

}  // namespace

TEST(ConverterDescriptors, StandardDeviceAndStrings) {
  Kernel k;
  FakeLinePort line(k);
  sim::UsbSerialConverter c(k, line);
  EXPECT_EQ(c.Speed(), host::usb::UsbSpeed::kLow);
  std::vector<uint8_t> d = c.DeviceDescriptor();
  ASSERT_EQ(d.size(), 18u);
  auto* dd = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(d.data());
  EXPECT_EQ(dd->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(dd->bMaxPacketSize0, 8);
  EXPECT_EQ(dd->idVendor, kVendorId);
  EXPECT_EQ(dd->idProduct, kProductId);
  EXPECT_EQ(dd->bNumConfigurations, 1);

  // Plain strings: the driver asks with language 0, and gets the text.
  auto product = c.StringDescriptor(dd->iProduct, 0);
  ASSERT_TRUE(product);
  EXPECT_EQ(product->at(0), product->size());
  EXPECT_EQ(product->at(1), USB_STRING_DESCRIPTOR_TYPE);
  std::u16string text;
  for (size_t i = 2; i < product->size(); i += 2)
    text += char16_t((*product)[i] | (*product)[i + 1] << 8);
  EXPECT_EQ(text, u"Simulated USB Serial Converter");
  EXPECT_EQ(c.StringDescriptor(0, 0)->at(2), 0x09);  // language list: 0x0409
  EXPECT_FALSE(c.StringDescriptor(9, 0));
  EXPECT_FALSE(c.ConfigurationDescriptor(1));
}

TEST(ConverterDescriptors, StandardConfigurationHasThreeSettingsOfInterfaceZero) {
  std::vector<uint8_t> b = Configuration(StandardLayout());
  EXPECT_LE(b.size(), kFirstConfigurationRead);
  auto c = ParseConfiguration(b);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->declared_interfaces, 1);
  EXPECT_EQ(c->value, kConfigurationValue);
  ASSERT_EQ(c->interfaces.size(), 3u);
  const uint8_t intervals[] = {10, 24, 64};
  for (int alt = 0; alt < 3; ++alt) {
    const auto& s = c->interfaces[alt];
    EXPECT_EQ(s.number, 0);
    EXPECT_EQ(s.alternate_setting, alt);
    ASSERT_EQ(s.endpoints.size(), 2u);
    EXPECT_EQ(s.declared_endpoints, 2);
    EXPECT_EQ(s.endpoints[0].address, kDataInEndpoint);
    EXPECT_EQ(s.endpoints[1].address, kDataOutEndpoint);
    for (const auto& e : s.endpoints) {
      EXPECT_EQ(e.Type(), USB_ENDPOINT_TYPE_INTERRUPT);
      EXPECT_EQ(e.max_packet_size, 8);
      EXPECT_EQ(e.interval, intervals[alt]);
    }
  }
  // The driver counts settings with the library call, 25 probes over interfaces and settings
  // 0 to 4.
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
  int found = 0;
  for (int i = 0; i < 5; ++i) {
    for (int a = 0; a < 5; ++a) {
      found += USBD_ParseConfigurationDescriptorEx(cd, cd, i, a, -1, -1, -1) != nullptr;
    }
  }
  EXPECT_EQ(found, 3);
}

TEST(ConverterDescriptors, LayoutVariants) {
  auto out_first = ParseConfiguration(Configuration(StandardLayout(/*in_first=*/false)));
  ASSERT_TRUE(out_first);
  EXPECT_EQ(out_first->interfaces[1].endpoints[0].address, kDataOutEndpoint);
  EXPECT_EQ(out_first->interfaces[1].endpoints[1].address, kDataInEndpoint);

  auto one = ParseConfiguration(Configuration(OnePipeLayout()));
  ASSERT_TRUE(one);
  for (const auto& s : one->interfaces) {
    ASSERT_EQ(s.endpoints.size(), 1u);
    EXPECT_TRUE(s.endpoints[0].In());
  }

  auto two = ParseConfiguration(Configuration(TwoInPipesLayout()));
  ASSERT_TRUE(two);
  ASSERT_EQ(two->interfaces[0].endpoints.size(), 3u);
  EXPECT_EQ(two->interfaces[0].endpoints[2].address, kSecondInEndpoint);
  EXPECT_EQ(two->interfaces[0].declared_endpoints, 3);

  std::vector<uint8_t> long_bytes = Configuration(LongLayout());
  EXPECT_GT(long_bytes.size(), kFirstConfigurationRead);
  EXPECT_EQ(size_t(long_bytes[2] | long_bytes[3] << 8), long_bytes.size());
  auto long_config = ParseConfiguration(long_bytes);
  ASSERT_TRUE(long_config);
  EXPECT_EQ(long_config->interfaces.size(), 3u);
  EXPECT_EQ(long_config->interfaces[2].endpoints.size(), 2u);
}
