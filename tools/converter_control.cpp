#include "tools/converter_control.h"

#include "platform/ntstatus.h"

namespace tools {

namespace {

constexpr uint32_t kDeviceDescriptorLength = 18;
constexpr uint32_t kLargestConfiguration = 0xFFFF;  // wTotalLength
constexpr uint32_t kLargestString = 255;            // bLength
constexpr size_t kStringHeader = 2;
constexpr size_t kSubCommandOffset = 4;
constexpr size_t kValueOffset = 5;
constexpr size_t kIndexOffset = 7;
constexpr uint32_t kPipeInfoHeader = 4;
constexpr uint32_t kPipeInfoEntry = 44;
constexpr uint32_t kPipeInfoLength = kPipeInfoHeader + 2 * kPipeInfoEntry;
constexpr size_t kPipeEndpoint = 2, kPipeType = 1, kPipeInterval = 3, kPipeMaxPacket = 4,
                 kPipeMaxTransfer = 8, kPipeName = 12, kPipeNameLength = 8;
constexpr size_t kInterfaceRecordLength = 10;
constexpr size_t kSelectorOffset = 4, kNumberOffset = 6, kSettingOffset = 8;
constexpr uint16_t kQuery = 0, kSelect = 1;

uint16_t Word(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t Long(const std::vector<uint8_t>& b, size_t at) {
  return Word(b, at) | uint32_t(Word(b, at + 2)) << 16;
}
void PutWord(std::vector<uint8_t>& b, size_t at, uint16_t value) {
  b[at] = uint8_t(value);
  b[at + 1] = uint8_t(value >> 8);
}

// A success must bring at least the bytes the caller reads.
NTSTATUS Expect(const RequestAnswer& r, size_t length) {
  if (!NT_SUCCESS(r.status)) return r.status;
  return r.output.size() >= length ? STATUS_SUCCESS : STATUS_DEVICE_PROTOCOL_ERROR;
}

}  // namespace

std::string PipeTypeName(uint8_t type) {
  static const char* const kNames[] = {"bulk", "interrupt", "control", "isochronous"};
  return type < 4 ? kNames[type] : "type " + std::to_string(type);
}

int32_t ConverterControl::DeviceDescriptor(std::vector<uint8_t>* descriptor) {
  RequestAnswer r = device_.Control(kIoctlGetDeviceDescriptor, {}, kDeviceDescriptorLength);
  if (NT_SUCCESS(r.status)) *descriptor = r.output;
  return r.status;
}

int32_t ConverterControl::ConfigurationDescriptor(std::vector<uint8_t>* descriptor) {
  RequestAnswer r = device_.Control(kIoctlGetConfigurationDescriptor, {}, kLargestConfiguration);
  if (NT_SUCCESS(r.status)) *descriptor = r.output;
  return r.status;
}

int32_t ConverterControl::String(uint8_t index, std::string* text) {
  const uint8_t input[] = {index};
  RequestAnswer r = device_.Control(kIoctlGetStringDescriptor, input, kLargestString);
  if (NTSTATUS s = Expect(r, kStringHeader); s != STATUS_SUCCESS) return s;
  text->clear();
  for (size_t i = kStringHeader; i + 1 < r.output.size(); i += 2) {
    uint16_t unit = Word(r.output, i);
    *text += unit >= 0x20 && unit < 0x7F ? char(unit) : '?';
  }
  return STATUS_SUCCESS;
}

int32_t ConverterControl::Pipes(std::vector<PipeInfo>* pipes) {
  RequestAnswer r = device_.Control(kIoctlGetPipeInfo, {}, kPipeInfoLength);
  if (NTSTATUS s = Expect(r, kPipeInfoHeader); s != STATUS_SUCCESS) return s;
  uint32_t count = Long(r.output, 0);
  if (r.output.size() < kPipeInfoHeader + count * kPipeInfoEntry)
    return STATUS_DEVICE_PROTOCOL_ERROR;
  pipes->clear();
  for (uint32_t i = 0; i < count; ++i) {
    size_t at = kPipeInfoHeader + i * kPipeInfoEntry;
    PipeInfo p;
    p.endpoint = r.output[at + kPipeEndpoint];
    p.type = r.output[at + kPipeType];
    p.interval = r.output[at + kPipeInterval];
    p.max_packet = Long(r.output, at + kPipeMaxPacket);
    p.max_transfer = Long(r.output, at + kPipeMaxTransfer);
    for (size_t c = 0; c < kPipeNameLength && r.output[at + kPipeName + c]; ++c) {
      p.name += char(r.output[at + kPipeName + c]);
    }
    pipes->push_back(p);
  }
  return STATUS_SUCCESS;
}

int32_t ConverterControl::QuerySetting(InterfaceSetting* setting) {
  std::vector<uint8_t> record(kInterfaceRecordLength);
  PutWord(record, kSelectorOffset, kQuery);
  RequestAnswer r = device_.Control(kIoctlInterface, record, kInterfaceRecordLength);
  if (NTSTATUS s = Expect(r, kInterfaceRecordLength); s != STATUS_SUCCESS) return s;
  setting->interface_number = Word(r.output, kNumberOffset);
  setting->alternate_setting = Word(r.output, kSettingOffset);
  return STATUS_SUCCESS;
}

int32_t ConverterControl::SelectSetting(uint8_t alternate_setting) {
  std::vector<uint8_t> record(kInterfaceRecordLength);
  PutWord(record, kSelectorOffset, kSelect);
  PutWord(record, kSettingOffset, alternate_setting);
  return device_.Control(kIoctlInterface, record, kInterfaceRecordLength).status;
}

RequestAnswer ConverterControl::Command(uint8_t sub_command, uint16_t value, uint16_t index) {
  std::vector<uint8_t> record(kCommandRecordLength);
  record[kSubCommandOffset] = sub_command;
  PutWord(record, kValueOffset, value);
  PutWord(record, kIndexOffset, index);
  return device_.Control(kIoctlCommand, record, kCommandRecordLength);
}

int32_t ConverterControl::ReadConverter(uint8_t request, uint16_t value,
                                        std::vector<uint8_t>* reply) {
  RequestAnswer r = Command(request, value, 0);
  if (NTSTATUS s = Expect(r, kCommandRecordLength); s != STATUS_SUCCESS) return s;
  reply->assign(r.output.begin() + kValueOffset, r.output.begin() + kIndexOffset + 2);
  return STATUS_SUCCESS;
}

int32_t ConverterControl::Driver(uint16_t sub_code, uint16_t argument, uint16_t* result) {
  RequestAnswer r = Command(kSubCommandDriver, sub_code, argument);
  if (!result) return r.status;
  if (NTSTATUS s = Expect(r, kCommandRecordLength); s != STATUS_SUCCESS) return s;
  *result = Word(r.output, kIndexOffset);
  return STATUS_SUCCESS;
}

int32_t ConverterControl::Purge(uint32_t code) { return device_.Control(code, {}, 0).status; }

}  // namespace tools
