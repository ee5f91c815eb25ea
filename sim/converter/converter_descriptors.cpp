#include "sim/converter/converter_descriptors.h"

#include <algorithm>

namespace sim::converter {

namespace {

// Low-speed interrupt endpoints may ask for 10 to 255 ms; Windows polls these every 8, 16 and
// 32 ms.
constexpr uint8_t kIntervals[] = {10, 24, 64};
constexpr uint8_t kMaxPowerUnits = 50;  // 100 mA
constexpr uint8_t kLargestFillerBody = 253;

}  // namespace

DescriptorLayout StandardLayout(bool in_first) {
  DescriptorLayout layout;
  for (uint8_t interval : kIntervals) {
    EndpointLayout in{kDataInEndpoint, interval, kPacketSize};
    EndpointLayout out{kDataOutEndpoint, interval, kPacketSize};
    SettingLayout s;
    s.endpoints = in_first ? std::vector{in, out} : std::vector{out, in};
    layout.settings.push_back(s);
  }
  return layout;
}

DescriptorLayout OnePipeLayout() {
  DescriptorLayout layout = StandardLayout();
  for (SettingLayout& s : layout.settings) s.endpoints.resize(1);
  return layout;
}

DescriptorLayout TwoInPipesLayout() {
  DescriptorLayout layout = StandardLayout();
  for (SettingLayout& s : layout.settings) {
    s.endpoints.push_back({kSecondInEndpoint, s.endpoints[0].interval, kPacketSize});
  }
  return layout;
}

DescriptorLayout LongLayout() {
  DescriptorLayout layout = StandardLayout();
  layout.settings.back().filler_bytes = 300;
  return layout;
}

host::usb::Bytes BuildDeviceDescriptor(const DescriptorLayout& layout) {
  return host::usb::BuildDeviceDescriptor({.bcd_usb = host::usb::kBcdUsb11,
                                           .device_class = 0xFF,
                                           .device_subclass = 0,
                                           .device_protocol = 0,
                                           .max_packet_size0 = uint8_t(kPacketSize),
                                           .vendor_id = layout.vendor_id,
                                           .product_id = layout.product_id,
                                           .bcd_device = kDeviceRelease,
                                           .manufacturer_string = kManufacturerString,
                                           .product_string = kProductString,
                                           .serial_string = kSerialString,
                                           .configurations = 1});
}

host::usb::Bytes BuildConfigurationDescriptor(const DescriptorLayout& layout) {
  host::usb::ConfigurationSpec c;
  c.value = kConfigurationValue;
  c.max_power = kMaxPowerUnits;
  for (size_t alt = 0; alt < layout.settings.size(); ++alt) {
    const SettingLayout& s = layout.settings[alt];
    host::usb::InterfaceSpec i;
    i.number = kInterfaceNumber;
    i.alternate_setting = uint8_t(alt);
    for (const EndpointLayout& e : s.endpoints) {
      i.endpoints.push_back({.address = e.address,
                             .attributes = USB_ENDPOINT_TYPE_INTERRUPT,
                             .max_packet_size = e.max_packet_size,
                             .interval = e.interval});
    }
    for (size_t left = s.filler_bytes; left > 2;) {
      uint8_t body = uint8_t(std::min<size_t>(left - 2, kLargestFillerBody));
      i.trailing.push_back(host::usb::BuildFillerDescriptor(kVendorDescriptorType, body));
      left -= body + 2u;
    }
    c.interfaces.push_back(i);
  }
  return host::usb::BuildConfigurationDescriptor(c);
}

}  // namespace sim::converter
