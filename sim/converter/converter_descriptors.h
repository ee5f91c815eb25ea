// The converter's descriptors: a low-speed vendor-specific device with one configuration whose
// interface 0 comes in several alternate settings, each with interrupt endpoints of 8-byte
// packets and its own polling interval. Layout variants for tests are built from the same
// description.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/usb/descriptors.h"

namespace sim::converter {

// Identifiers chosen for the simulation; they name no registered product.
constexpr uint16_t kVendorId = 0xF7A5;
constexpr uint16_t kProductId = 0x0C01;
constexpr uint16_t kDeviceRelease = 0x0100;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kInterfaceNumber = 0;
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;
constexpr uint8_t kDataInEndpoint = 0x81;
constexpr uint8_t kDataOutEndpoint = 0x02;
constexpr uint8_t kSecondInEndpoint = 0x83;
constexpr uint16_t kPacketSize = 8;
// The driver reads this many bytes of the configuration descriptor first.
constexpr size_t kFirstConfigurationRead = 265;
constexpr uint8_t kVendorDescriptorType = 0xFF;

struct EndpointLayout {
  uint8_t address = 0;
  uint8_t interval = 10;  // ms
  uint16_t max_packet_size = kPacketSize;
};

struct SettingLayout {
  std::vector<EndpointLayout> endpoints;  // in descriptor order
  size_t filler_bytes = 0;  // vendor descriptors after the endpoints, to lengthen the descriptor
};

struct DescriptorLayout {
  uint16_t vendor_id = kVendorId;
  uint16_t product_id = kProductId;
  std::u16string manufacturer = u"Zarq Simulation";
  std::u16string product = u"Simulated USB Serial Converter";
  std::u16string serial_number = u"SIM-0001";
  std::vector<SettingLayout> settings;  // alternate settings 0, 1, ... of interface 0
  // The IN endpoint that delivers received bytes and the OUT endpoint that takes bytes to send.
  uint8_t data_in_endpoint = kDataInEndpoint;
  uint8_t data_out_endpoint = kDataOutEndpoint;
};

// Settings 0, 1, 2 with intervals 10, 24 and 64 ms (as a low-speed device may have them), each
// with the data IN and OUT endpoints; the IN endpoint listed first unless in_first is false.
DescriptorLayout StandardLayout(bool in_first = true);
// Every setting with the IN endpoint only.
DescriptorLayout OnePipeLayout();
// Every setting with a second IN endpoint after the data endpoints, at the same interval.
DescriptorLayout TwoInPipesLayout();
// The standard layout with vendor descriptors making it longer than the driver's first read.
DescriptorLayout LongLayout();

host::usb::Bytes BuildDeviceDescriptor(const DescriptorLayout& layout);
host::usb::Bytes BuildConfigurationDescriptor(const DescriptorLayout& layout);

}  // namespace sim::converter
