#include "host/usb/usbpcap.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace host::usb {

namespace {

void Put8(std::vector<uint8_t>& b, uint8_t v) { b.push_back(v); }
void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, uint16_t(v));
  Put16(b, uint16_t(v >> 16));
}
void Put64(std::vector<uint8_t>& b, uint64_t v) {
  Put32(b, uint32_t(v));
  Put32(b, uint32_t(v >> 32));
}

struct Packet {
  kernel::Ticks time;
  uint64_t order;
  std::vector<uint8_t> bytes;  // USBPcap header and data
};

// An irp id that reads like a kernel address, unique per URB.
uint64_t IrpId(const UrbRecord& r) { return 0xFFFF'A000'0000'0000ull + r.id * 0x100; }

std::vector<uint8_t> UsbPcapPacket(const UrbRecord& r, bool completion, uint8_t stage,
                                   const std::vector<uint8_t>& data) {
  bool control = r.transfer == TransferType::kControl;
  std::vector<uint8_t> b;
  Put16(b, control ? kUsbPcapControlHeaderLength : kUsbPcapHeaderLength);
  Put64(b, IrpId(r));
  Put32(b, uint32_t(completion ? r.usbd_status : USBD_STATUS_SUCCESS));
  Put16(b, r.function);
  Put8(b, completion ? kUsbPcapInfoPdoToFdo : 0);
  Put16(b, r.bus);
  Put16(b, r.device);
  Put8(b, r.endpoint);
  Put8(b, uint8_t(r.transfer));
  Put32(b, uint32_t(data.size()));
  if (control) Put8(b, stage);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

void AddRecord(const UrbRecord& r, std::vector<Packet>& packets) {
  uint64_t order = packets.size();
  std::vector<uint8_t> submit_data;
  if (r.setup) {
    auto s = r.setup->Bytes();
    submit_data.assign(s.begin(), s.end());
  }
  submit_data.insert(submit_data.end(), r.out_data.begin(), r.out_data.end());
  packets.push_back(
      {r.submitted, order * 2, UsbPcapPacket(r, false, kUsbPcapStageSetup, submit_data)});
  if (r.completed) {
    packets.push_back(
        {r.completed_at, order * 2 + 1, UsbPcapPacket(r, true, kUsbPcapStageComplete, r.in_data)});
  }
}

}  // namespace

std::vector<uint8_t> EncodeUsbPcap(const std::vector<UrbRecord>& records) {
  std::vector<Packet> packets;
  for (const UrbRecord& r : records) AddRecord(r, packets);
  std::stable_sort(packets.begin(), packets.end(), [](const Packet& a, const Packet& b) {
    return a.time != b.time ? a.time < b.time : a.order < b.order;
  });
  std::vector<uint8_t> file;
  Put32(file, kPcapMagic);
  Put16(file, kPcapVersionMajor);
  Put16(file, kPcapVersionMinor);
  Put32(file, 0);  // time zone offset
  Put32(file, 0);  // timestamp accuracy
  Put32(file, kPcapSnapLength);
  Put32(file, kLinkTypeUsbPcap);
  for (const Packet& p : packets) {
    uint32_t length = uint32_t(std::min<size_t>(p.bytes.size(), kPcapSnapLength));
    Put32(file, uint32_t(p.time / kernel::kTicksPerSecond));
    Put32(file, uint32_t(p.time % kernel::kTicksPerSecond / kernel::kTicksPerMicrosecond));
    Put32(file, length);
    Put32(file, uint32_t(p.bytes.size()));
    file.insert(file.end(), p.bytes.begin(), p.bytes.begin() + length);
  }
  return file;
}

bool WriteUsbPcapFile(const std::string& path, const std::vector<UrbRecord>& records,
                      std::string* error) {
  std::vector<uint8_t> bytes = EncodeUsbPcap(records);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) {
    if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace host::usb
