// The driver's private converter interface as the configuration tool uses it: its control codes,
// its records, and one call per request on an open reader, over any transport. Records are
// little-endian. Statuses are NTSTATUS values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/device_requests.h"

namespace tools {

// Control codes: FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 0x800 on.
inline constexpr uint32_t kIoctlGetPipeInfo = 0x222000;
inline constexpr uint32_t kIoctlGetDeviceDescriptor = 0x222004;
inline constexpr uint32_t kIoctlGetConfigurationDescriptor = 0x222008;
inline constexpr uint32_t kIoctlGetStringDescriptor = 0x222020;
inline constexpr uint32_t kIoctlPurgeTransmit = 0x222144;
inline constexpr uint32_t kIoctlPurgeReceive = 0x222148;
inline constexpr uint32_t kIoctlCommand = 0x22214C;
inline constexpr uint32_t kIoctlInterface = 0x222150;

// Command record: sub-command at 4, Value at 5, Index at 7.
inline constexpr size_t kCommandRecordLength = 10;
inline constexpr uint8_t kSubCommandReadCounters = 4;
inline constexpr uint8_t kSubCommandReadPort = 16;
inline constexpr uint8_t kSubCommandDriver = 255;
// Driver sub-codes.
inline constexpr uint16_t kGetRateAdaptation = 0x0004;
inline constexpr uint16_t kGetReadBufferSize = 0x0040;
inline constexpr uint16_t kIsReadingThread = 0x0200;
inline constexpr uint16_t kSetReadingThread = 0x0400;  // Index 1 starts, 0 stops
inline constexpr uint16_t kStartPermanentReading = 0x0800;
inline constexpr uint16_t kStopPermanentReading = 0x1000;

// One entry of the pipe information record.
struct PipeInfo {
  uint8_t endpoint = 0;
  uint8_t type = 0;  // 0 bulk, 1 interrupt, 2 control, 3 isochronous
  uint8_t interval = 0;
  uint32_t max_packet = 0;
  uint32_t max_transfer = 0;
  std::string name;
};

struct InterfaceSetting {
  uint16_t interface_number = 0;
  uint16_t alternate_setting = 0;
};

// The calls; each returns the request's status and, on success, what came back.
class ConverterControl {
 public:
  explicit ConverterControl(DeviceRequests& device) : device_(device) {}

  int32_t DeviceDescriptor(std::vector<uint8_t>* descriptor);
  int32_t ConfigurationDescriptor(std::vector<uint8_t>* descriptor);
  // The string's text (UTF-16LE, shown as ASCII where it is).
  int32_t String(uint8_t index, std::string* text);
  int32_t Pipes(std::vector<PipeInfo>* pipes);
  int32_t QuerySetting(InterfaceSetting* setting);
  int32_t SelectSetting(uint8_t alternate_setting);
  // A converter IN request through the command record: reply bytes 0 to 3.
  int32_t ReadConverter(uint8_t request, uint16_t value, std::vector<uint8_t>* reply);
  // A driver sub-code; its result word when it has one.
  int32_t Driver(uint16_t sub_code, uint16_t argument = 0, uint16_t* result = nullptr);
  int32_t Purge(uint32_t code);

 private:
  RequestAnswer Command(uint8_t sub_command, uint16_t value, uint16_t index);

  DeviceRequests& device_;
};

// "PIPE00", "interrupt", ...
std::string PipeTypeName(uint8_t type);

}  // namespace tools
