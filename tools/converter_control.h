// The driver's private converter interface as the configuration tool uses it: its control codes,
// its records, and one call per request on an open reader handle. Records are little-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/machine/reader_handle.h"

namespace tools {

// Control codes: FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 0x800 on.
inline constexpr ULONG kIoctlGetPipeInfo = 0x222000;
inline constexpr ULONG kIoctlGetDeviceDescriptor = 0x222004;
inline constexpr ULONG kIoctlGetConfigurationDescriptor = 0x222008;
inline constexpr ULONG kIoctlGetStringDescriptor = 0x222020;
inline constexpr ULONG kIoctlPurgeTransmit = 0x222144;
inline constexpr ULONG kIoctlPurgeReceive = 0x222148;
inline constexpr ULONG kIoctlCommand = 0x22214C;
inline constexpr ULONG kIoctlInterface = 0x222150;

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
  explicit ConverterControl(host::machine::ReaderHandle& reader) : reader_(reader) {}

  NTSTATUS DeviceDescriptor(std::vector<uint8_t>* descriptor);
  NTSTATUS ConfigurationDescriptor(std::vector<uint8_t>* descriptor);
  // The string's text (UTF-16LE, shown as ASCII where it is).
  NTSTATUS String(uint8_t index, std::string* text);
  NTSTATUS Pipes(std::vector<PipeInfo>* pipes);
  NTSTATUS QuerySetting(InterfaceSetting* setting);
  NTSTATUS SelectSetting(uint8_t alternate_setting);
  // A converter IN request through the command record: reply bytes 0 to 3.
  NTSTATUS ReadConverter(uint8_t request, uint16_t value, std::vector<uint8_t>* reply);
  // A driver sub-code; its result word when it has one.
  NTSTATUS Driver(uint16_t sub_code, uint16_t argument = 0, uint16_t* result = nullptr);
  NTSTATUS Purge(ULONG code);

 private:
  host::io::IoResult Command(uint8_t sub_command, uint16_t value, uint16_t index);

  host::machine::ReaderHandle& reader_;
};

// "PIPE00", "interrupt", ...
std::string PipeTypeName(uint8_t type);

}  // namespace tools
