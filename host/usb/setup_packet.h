// The 8-byte setup packet of a control transfer, as the bus hands it to a device model.
#pragma once
#include <array>
#include <cstdint>

#include "platform/usb.h"

namespace host::usb {

struct SetupPacket {
  uint8_t request_type = 0;  // bmRequestType
  uint8_t request = 0;       // bRequest
  uint16_t value = 0;        // wValue
  uint16_t index = 0;        // wIndex
  uint16_t length = 0;       // wLength: bytes of the data stage

  bool DeviceToHost() const { return request_type & 0x80; }
  uint8_t Type() const { return (request_type >> 5) & 0x3; }  // BMREQUEST_STANDARD ...
  uint8_t Recipient() const { return request_type & 0x1F; }   // BMREQUEST_TO_DEVICE ...

  std::array<uint8_t, 8> Bytes() const {
    return {request_type,    request,
            uint8_t(value),  uint8_t(value >> 8),
            uint8_t(index),  uint8_t(index >> 8),
            uint8_t(length), uint8_t(length >> 8)};
  }
  static SetupPacket FromBytes(const uint8_t* b) {
    return {b[0], b[1], uint16_t(b[2] | b[3] << 8), uint16_t(b[4] | b[5] << 8),
            uint16_t(b[6] | b[7] << 8)};
  }
  bool operator==(const SetupPacket&) const = default;
};

}  // namespace host::usb
