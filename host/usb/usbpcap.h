// pcap captures of link type USBPcap (249), the format Wireshark and tshark decode as USB.
//
// Each URB becomes two packets: its submission (host to device: the setup packet and any OUT
// data) and its completion (device to host: the status and any IN data). Control transfers carry
// the stage: "setup" at submission, "complete" at completion. Packets are ordered by virtual
// time; virtual time 0 is the capture's epoch.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/usb/urb_trace.h"

namespace host::usb {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond timestamps
constexpr uint16_t kPcapVersionMajor = 2;
constexpr uint16_t kPcapVersionMinor = 4;
constexpr uint32_t kPcapSnapLength = 65535;
constexpr uint32_t kLinkTypeUsbPcap = 249;

// The packet header of USBPcap.
constexpr uint16_t kUsbPcapHeaderLength = 27;
constexpr uint16_t kUsbPcapControlHeaderLength = 28;  // plus the control stage byte
constexpr uint8_t kUsbPcapInfoPdoToFdo = 0x01;        // set on completions
constexpr uint8_t kUsbPcapStageSetup = 0;
constexpr uint8_t kUsbPcapStageData = 1;
constexpr uint8_t kUsbPcapStageStatus = 2;
constexpr uint8_t kUsbPcapStageComplete = 3;

// The whole file: global header and packets.
std::vector<uint8_t> EncodeUsbPcap(const std::vector<UrbRecord>& records);
bool WriteUsbPcapFile(const std::string& path, const std::vector<UrbRecord>& records,
                      std::string* error = nullptr);

}  // namespace host::usb
