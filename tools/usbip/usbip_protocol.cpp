#include "tools/usbip/usbip_protocol.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace tools::usbip {

namespace {

void PutFixed(std::vector<uint8_t>& out, const std::string& text, size_t size) {
  size_t n = std::min(text.size(), size - 1);  // always NUL-terminated
  out.insert(out.end(), text.begin(), text.begin() + long(n));
  out.insert(out.end(), size - n, 0);
}

std::string GetFixed(const uint8_t* bytes, size_t size) {
  const uint8_t* end = std::find(bytes, bytes + size, 0);
  return std::string(bytes, end);
}

}  // namespace

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(uint8_t(value >> 8));
  out.push_back(uint8_t(value));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  PutU16(out, uint16_t(value >> 16));
  PutU16(out, uint16_t(value));
}

uint16_t GetU16(const uint8_t* bytes) { return uint16_t(bytes[0] << 8 | bytes[1]); }

uint32_t GetU32(const uint8_t* bytes) { return uint32_t(GetU16(bytes)) << 16 | GetU16(bytes + 2); }

std::array<uint8_t, kHeaderSize> UrbHeader::Encode() const {
  std::vector<uint8_t> out;
  for (uint32_t v : {command, seqnum, devid, direction, ep}) PutU32(out, v);
  for (uint32_t v : word) PutU32(out, v);
  out.insert(out.end(), setup.begin(), setup.end());
  std::array<uint8_t, kHeaderSize> bytes{};
  std::copy(out.begin(), out.end(), bytes.begin());
  return bytes;
}

UrbHeader UrbHeader::Decode(const uint8_t* bytes) {
  UrbHeader h;
  h.command = GetU32(bytes);
  h.seqnum = GetU32(bytes + 4);
  h.devid = GetU32(bytes + 8);
  h.direction = GetU32(bytes + 12);
  h.ep = GetU32(bytes + 16);
  for (size_t i = 0; i < h.word.size(); ++i) h.word[i] = GetU32(bytes + 20 + 4 * i);
  std::copy(bytes + 40, bytes + kHeaderSize, h.setup.begin());
  return h;
}

UrbHeader UrbHeader::RetSubmit(uint32_t seqnum, int32_t status, uint32_t actual_length) {
  UrbHeader h;
  h.command = kRetSubmit;
  h.seqnum = seqnum;
  h.word[0] = uint32_t(status);
  h.word[1] = actual_length;
  return h;
}

UrbHeader UrbHeader::RetUnlink(uint32_t seqnum, int32_t status) {
  UrbHeader h;
  h.command = kRetUnlink;
  h.seqnum = seqnum;
  h.word[0] = uint32_t(status);
  return h;
}

std::vector<uint8_t> DeviceRecord::Encode(bool with_interfaces) const {
  std::vector<uint8_t> out;
  PutFixed(out, path, kPathSize);
  PutFixed(out, busid, kBusIdSize);
  PutU32(out, busnum);
  PutU32(out, devnum);
  PutU32(out, speed);
  PutU16(out, vendor_id);
  PutU16(out, product_id);
  PutU16(out, bcd_device);
  for (uint8_t b : {device_class, device_subclass, device_protocol, configuration_value,
                    configurations, interfaces}) {
    out.push_back(b);
  }
  if (with_interfaces) {
    for (const InterfaceRecord& i : interface) {
      out.insert(out.end(),
                 {i.interface_class, i.interface_subclass, i.interface_protocol, uint8_t(0)});
    }
  }
  return out;
}

DeviceRecord DeviceRecord::Decode(const uint8_t* bytes) {
  DeviceRecord d;
  d.path = GetFixed(bytes, kPathSize);
  bytes += kPathSize;
  d.busid = GetFixed(bytes, kBusIdSize);
  bytes += kBusIdSize;
  d.busnum = GetU32(bytes);
  d.devnum = GetU32(bytes + 4);
  d.speed = GetU32(bytes + 8);
  d.vendor_id = GetU16(bytes + 12);
  d.product_id = GetU16(bytes + 14);
  d.bcd_device = GetU16(bytes + 16);
  d.device_class = bytes[18];
  d.device_subclass = bytes[19];
  d.device_protocol = bytes[20];
  d.configuration_value = bytes[21];
  d.configurations = bytes[22];
  d.interfaces = bytes[23];
  return d;
}

std::vector<uint8_t> OpCommon(uint16_t code, uint32_t status) {
  std::vector<uint8_t> out;
  PutU16(out, kVersion);
  PutU16(out, code);
  PutU32(out, status);
  return out;
}

bool ReadExactly(int fd, uint8_t* out, size_t count) {
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::recv(fd, out + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
  size_t sent = 0;
  while (sent < count) {
    ssize_t n = ::send(fd, bytes + sent, count - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

}  // namespace tools::usbip
