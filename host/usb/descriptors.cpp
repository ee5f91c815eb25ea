#include "host/usb/descriptors.h"

#include <set>

namespace host::usb {

namespace {

void Put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

Bytes BuildDeviceDescriptor(const DeviceSpec& s) {
  Bytes b{sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE};
  Put16(b, s.bcd_usb);
  b.insert(b.end(), {s.device_class, s.device_subclass, s.device_protocol, s.max_packet_size0});
  Put16(b, s.vendor_id);
  Put16(b, s.product_id);
  Put16(b, s.bcd_device);
  b.insert(b.end(), {s.manufacturer_string, s.product_string, s.serial_string, s.configurations});
  return b;
}

Bytes BuildConfigurationDescriptor(const ConfigurationSpec& s) {
  std::set<uint8_t> numbers;
  for (const InterfaceSpec& i : s.interfaces) numbers.insert(i.number);
  Bytes b{sizeof(USB_CONFIGURATION_DESCRIPTOR),
          USB_CONFIGURATION_DESCRIPTOR_TYPE,
          0,
          0,
          uint8_t(numbers.size()),
          s.value,
          s.string_index,
          s.attributes,
          s.max_power};
  for (const InterfaceSpec& i : s.interfaces) {
    b.insert(b.end(), {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, i.number,
                       i.alternate_setting, uint8_t(i.endpoints.size()), i.interface_class,
                       i.interface_subclass, i.interface_protocol, i.string_index});
    for (const EndpointSpec& e : i.endpoints) {
      b.insert(b.end(), {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, e.address,
                         e.attributes});
      Put16(b, e.max_packet_size);
      b.push_back(e.interval);
    }
    for (const Bytes& extra : i.trailing) b.insert(b.end(), extra.begin(), extra.end());
  }
  b[2] = uint8_t(b.size());
  b[3] = uint8_t(b.size() >> 8);
  return b;
}

Bytes BuildStringDescriptor(std::u16string_view text) {
  Bytes b{uint8_t(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
  for (char16_t c : text) Put16(b, uint16_t(c));
  return b;
}

Bytes BuildLanguageDescriptor(std::span<const uint16_t> languages) {
  Bytes b{uint8_t(2 + 2 * languages.size()), USB_STRING_DESCRIPTOR_TYPE};
  for (uint16_t l : languages) Put16(b, l);
  return b;
}

Bytes BuildFillerDescriptor(uint8_t type, uint8_t body_length) {
  Bytes b{uint8_t(2 + body_length), type};
  for (uint8_t i = 0; i < body_length; ++i) b.push_back(i);
  return b;
}

const ParsedInterface* ParsedConfiguration::Find(uint8_t number, uint8_t alternate) const {
  for (const ParsedInterface& i : interfaces) {
    if (i.number == number && i.alternate_setting == alternate) return &i;
  }
  return nullptr;
}

std::optional<ParsedConfiguration> ParseConfiguration(std::span<const uint8_t> bytes) {
  if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return std::nullopt;
  if (bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return std::nullopt;
  size_t total = Get16(&bytes[2]);
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > bytes.size()) return std::nullopt;
  ParsedConfiguration c;
  c.declared_interfaces = bytes[4];
  c.value = bytes[5];
  c.attributes = bytes[7];
  c.max_power = bytes[8];
  size_t at = bytes[0];
  if (at < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return std::nullopt;
  while (at < total) {
    if (at + 2 > total) return std::nullopt;
    uint8_t length = bytes[at];
    uint8_t type = bytes[at + 1];
    if (length < 2 || at + length > total) return std::nullopt;
    const uint8_t* d = &bytes[at];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      c.interfaces.push_back(ParsedInterface{.number = d[2],
                                             .alternate_setting = d[3],
                                             .interface_class = d[5],
                                             .interface_subclass = d[6],
                                             .interface_protocol = d[7],
                                             .declared_endpoints = d[4],
                                             .endpoints = {}});
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
               !c.interfaces.empty()) {
      c.interfaces.back().endpoints.push_back(ParsedEndpoint{
          .address = d[2], .attributes = d[3], .max_packet_size = Get16(&d[4]), .interval = d[6]});
    }
    at += length;
  }
  return c;
}

}  // namespace host::usb
