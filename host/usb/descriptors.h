// USB descriptors on the host side: building them for device models, and reading a configuration
// descriptor into interfaces, alternate settings and endpoints for the bus.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/usb.h"

namespace host::usb {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr uint16_t kBcdUsb11 = 0x0110;

struct DeviceSpec {
  uint16_t bcd_usb = kBcdUsb11;
  uint8_t device_class = 0;
  uint8_t device_subclass = 0;
  uint8_t device_protocol = 0;
  uint8_t max_packet_size0 = 8;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t bcd_device = 0;
  uint8_t manufacturer_string = 0;
  uint8_t product_string = 0;
  uint8_t serial_string = 0;
  uint8_t configurations = 1;
};

struct EndpointSpec {
  uint8_t address = 0;  // with USB_ENDPOINT_DIRECTION_MASK for IN
  uint8_t attributes = USB_ENDPOINT_TYPE_INTERRUPT;
  uint16_t max_packet_size = 8;
  uint8_t interval = 10;  // ms
};

struct InterfaceSpec {
  uint8_t number = 0;
  uint8_t alternate_setting = 0;
  uint8_t interface_class = 0xFF;  // vendor specific
  uint8_t interface_subclass = 0;
  uint8_t interface_protocol = 0;
  uint8_t string_index = 0;
  std::vector<EndpointSpec> endpoints;
  std::vector<Bytes> trailing;  // whole descriptors placed after the endpoints
};

struct ConfigurationSpec {
  uint8_t value = 1;
  uint8_t string_index = 0;
  uint8_t attributes = USB_CONFIG_BUS_POWERED;
  uint8_t max_power = 50;                 // 2 mA units
  std::vector<InterfaceSpec> interfaces;  // every alternate setting, in descriptor order
};

Bytes BuildDeviceDescriptor(const DeviceSpec& spec);
// bNumInterfaces counts the distinct interface numbers; wTotalLength the whole result.
Bytes BuildConfigurationDescriptor(const ConfigurationSpec& spec);
Bytes BuildStringDescriptor(std::u16string_view text);
Bytes BuildLanguageDescriptor(std::span<const uint16_t> languages);
// A descriptor of the given type whose body is `body_length` filler bytes.
Bytes BuildFillerDescriptor(uint8_t type, uint8_t body_length);

struct ParsedEndpoint {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t max_packet_size = 0;
  uint8_t interval = 0;
  bool In() const { return address & USB_ENDPOINT_DIRECTION_MASK; }
  uint8_t Type() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
};

struct ParsedInterface {
  uint8_t number = 0;
  uint8_t alternate_setting = 0;
  uint8_t interface_class = 0;
  uint8_t interface_subclass = 0;
  uint8_t interface_protocol = 0;
  uint8_t declared_endpoints = 0;         // bNumEndpoints
  std::vector<ParsedEndpoint> endpoints;  // the endpoint descriptors up to the next interface
};

struct ParsedConfiguration {
  uint8_t value = 0;
  uint8_t declared_interfaces = 0;  // bNumInterfaces
  uint8_t attributes = 0;
  uint8_t max_power = 0;
  std::vector<ParsedInterface> interfaces;  // every alternate setting, in descriptor order

  const ParsedInterface* Find(uint8_t number, uint8_t alternate_setting) const;
};

// Nothing when the bytes are not a well-formed configuration descriptor: shorter than its
// header, wTotalLength beyond the bytes given, or a descriptor running past wTotalLength.
std::optional<ParsedConfiguration> ParseConfiguration(std::span<const uint8_t> bytes);

}  // namespace host::usb
