// The USB/IP wire format (the Linux kernel's usbip protocol, version 1.1.1): the operation
// messages that list and import devices, and the 48-byte headers of the URB traffic that
// follows an import. Every number on the wire is big endian but the setup packet, which keeps
// USB's own little-endian layout. Shared by the server and the clients that test it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools::usbip {

constexpr uint16_t kVersion = 0x0111;
constexpr uint16_t kOpReqDevlist = 0x8005;
constexpr uint16_t kOpRepDevlist = 0x0005;
constexpr uint16_t kOpReqImport = 0x8003;
constexpr uint16_t kOpRepImport = 0x0003;
constexpr uint32_t kOpStatusOk = 0;
constexpr uint32_t kOpStatusError = 1;

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr uint32_t kDirectionOut = 0;
constexpr uint32_t kDirectionIn = 1;

constexpr size_t kOpCommonSize = 8;
constexpr size_t kHeaderSize = 48;
constexpr size_t kPathSize = 256;
constexpr size_t kBusIdSize = 32;
constexpr size_t kSetupSize = 8;
// What follows OP_REP_DEVLIST's common part: the device count.
constexpr size_t kDeviceCountSize = 4;
// A device's record without its interfaces, and each interface's record after it.
constexpr size_t kDeviceRecordSize = kPathSize + kBusIdSize + 3 * 4 + 3 * 2 + 6;
constexpr size_t kInterfaceRecordSize = 4;
// number_of_packets of a transfer that is not isochronous, as Linux writes it (0 is accepted too).
constexpr uint32_t kNotIsochronous = 0xFFFFFFFF;

// Linux's enum usb_device_speed.
constexpr uint32_t kSpeedLow = 1;
constexpr uint32_t kSpeedFull = 2;

// URB statuses are Linux errno values, negated.
constexpr int32_t kStatusOk = 0;
constexpr int32_t kENOENT = -2;
constexpr int32_t kENODEV = -19;
constexpr int32_t kEINVAL = -22;
constexpr int32_t kEPIPE = -32;
constexpr int32_t kECONNRESET = -104;
constexpr int32_t kESHUTDOWN = -108;

// One URB header. The five words after the basic part mean, by command:
//   CMD_SUBMIT  transfer_flags, transfer_buffer_length, start_frame, number_of_packets, interval
//               (then the setup packet)
//   RET_SUBMIT  status, actual_length, start_frame, number_of_packets, error_count
//   CMD_UNLINK  unlink_seqnum
//   RET_UNLINK  status
struct UrbHeader {
  uint32_t command = 0;
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = 0;
  uint32_t ep = 0;
  std::array<uint32_t, 5> word{};
  std::array<uint8_t, kSetupSize> setup{};

  uint32_t transfer_buffer_length() const { return word[1]; }
  uint32_t number_of_packets() const { return word[3]; }
  uint32_t unlink_seqnum() const { return word[0]; }
  int32_t status() const { return int32_t(word[0]); }
  uint32_t actual_length() const { return word[1]; }

  std::array<uint8_t, kHeaderSize> Encode() const;
  static UrbHeader Decode(const uint8_t* bytes);

  static UrbHeader RetSubmit(uint32_t seqnum, int32_t status, uint32_t actual_length);
  static UrbHeader RetUnlink(uint32_t seqnum, int32_t status);
};

struct InterfaceRecord {
  uint8_t interface_class = 0;
  uint8_t interface_subclass = 0;
  uint8_t interface_protocol = 0;
};

// What OP_REP_DEVLIST and OP_REP_IMPORT say of a device.
struct DeviceRecord {
  std::string path;
  std::string busid;
  uint32_t busnum = 0;
  uint32_t devnum = 0;
  uint32_t speed = 0;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t bcd_device = 0;
  uint8_t device_class = 0;
  uint8_t device_subclass = 0;
  uint8_t device_protocol = 0;
  uint8_t configuration_value = 0;
  uint8_t configurations = 0;
  uint8_t interfaces = 0;                  // bNumInterfaces
  std::vector<InterfaceRecord> interface;  // listed in OP_REP_DEVLIST only

  uint32_t devid() const { return busnum << 16 | devnum; }
  // The record; with_interfaces adds the interface records (OP_REP_DEVLIST).
  std::vector<uint8_t> Encode(bool with_interfaces) const;
  // Reads a record without its interfaces.
  static DeviceRecord Decode(const uint8_t* bytes);
};

std::vector<uint8_t> OpCommon(uint16_t code, uint32_t status);

void PutU16(std::vector<uint8_t>& out, uint16_t value);
void PutU32(std::vector<uint8_t>& out, uint32_t value);
uint16_t GetU16(const uint8_t* bytes);
uint32_t GetU32(const uint8_t* bytes);

// Whole reads and writes on a stream socket; false when the peer closed it or it failed.
bool ReadExactly(int fd, uint8_t* out, size_t count);
bool WriteAll(int fd, const uint8_t* bytes, size_t count);

}  // namespace tools::usbip
