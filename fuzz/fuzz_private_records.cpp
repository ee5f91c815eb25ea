// Fuzz target: the records of the private configuration requests, as a configuration tool sends
// them one after another to a started device (\Device\USBTESK0 of a machine with the driver
// loaded and the converter plugged in): command records (converter requests and the driver's
// sub-codes: rate adaptation, the reading thread, permanent reading), interface records (query
// and selection of the interface setting), string descriptor, port and port data requests, each
// on whatever state the records before it left, with reader commands over the link in between.
//
// Input: operations, each an operation byte and its bytes:
//   bits 2..0 the request: command record, interface record, string descriptor, set port value,
//             read port, write port data, reader command (GET STATUS, or a set-parameters command
//             with the TLV objects of the input), pipe information
//   bit 3     the record's input and output lengths come from the input (fuzz::Length) instead
//             of being the record's own
//   then the record's bytes (10 for the records, 2 for the port requests, 1 for the string index,
//   a length byte and the bytes for port data and set-parameters)
#include <optional>

#include "control/private_interface.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kTarget = "fuzz_private_records";
constexpr size_t kOperations = 24;
constexpr uint8_t kOwnLengths = 0x08;
constexpr UCHAR kSetParametersHeader[] = {0x80, 0x60, 0x00, 0x00};
constexpr UCHAR kGetStatus[] = {0x20, 0x13, 0x00, 0x80, 0x00};

enum Request : uint8_t {
  kCommand,
  kInterface,
  kString,
  kSetPortValue,
  kReadPort,
  kWritePortData,
  kReaderCommand,
  kPipeInfo,
};

// What earlier records set and later ones must read back.
struct Expected {
  std::optional<USHORT> adaptation;
  std::optional<UCHAR> setting;
};

USHORT Word(const std::vector<UCHAR>& b, size_t at) { return USHORT(b[at] | b[at + 1] << 8); }

void CheckCommand(const std::vector<UCHAR>& record, const host::io::IoResult& r, Expected& e) {
  if (record.size() < COMMAND_RECORD_LENGTH) return;
  // Line settings with a rate may select another interface setting, when adaptation is on.
  if (record[COMMAND_RECORD_SUBCOMMAND] == COMMAND_WRITE_LINE_SETTINGS) e.setting.reset();
  if (record[COMMAND_RECORD_SUBCOMMAND] != COMMAND_DRIVER) return;
  USHORT sub_code = Word(record, COMMAND_RECORD_VALUE);
  if (r.status != STATUS_SUCCESS) return;
  if (sub_code == REZOVO_Internal_EnableRateAdaptation) e.adaptation = 1;
  if (sub_code == REZOVO_Internal_DisableRateAdaptation) e.adaptation = 0;
  if (r.output.size() < COMMAND_RECORD_LENGTH) return;
  USHORT word = Word(r.output, COMMAND_RECORD_INDEX);
  if (sub_code == REZOVO_Internal_GetRateAdaptation && e.adaptation && word != *e.adaptation) {
    fuzz::Fail(kTarget, "rate adaptation read back differs from the last one set");
  }
  if (sub_code == REZOVO_Internal_AnswerOne && word != 1) fuzz::Fail(kTarget, "sub-code 8 not 1");
  if (sub_code == REZOVO_Internal_AnswerAllOnes && word != RESULT_WORD_ALL_ONES) {
    fuzz::Fail(kTarget, "sub-code 32 not 0xFFFF");
  }
}

void CheckInterface(const std::vector<UCHAR>& record, const host::io::IoResult& r, Expected& e) {
  if (record.size() < INTERFACE_RECORD_LENGTH) return;
  USHORT selector = Word(record, INTERFACE_RECORD_SELECTOR);
  if (selector == INTERFACE_SELECT) {
    if (r.status == STATUS_SUCCESS) {
      // A selection naming another interface, or a setting that does not exist, selects
      // setting 0 of interface 0.
      e.setting = record[INTERFACE_RECORD_NUMBER] == 0 ? record[INTERFACE_RECORD_SETTING] : 0;
    } else {
      e.setting.reset();  // a failed selection may leave either setting behind
    }
  } else if (selector == INTERFACE_QUERY && r.status == STATUS_SUCCESS &&
             r.output.size() >= INTERFACE_RECORD_LENGTH) {
    USHORT setting = Word(r.output, INTERFACE_RECORD_SETTING);
    if (e.setting && setting != *e.setting && setting != 0) {
      fuzz::Fail(kTarget, "interface query differs from the setting last selected");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  if (in.empty()) return -1;
  fuzz::OnOpenedReader(kTarget, [&](host::machine::Machine& m, host::machine::ReaderHandle& r) {
    Expected expected;
    for (size_t i = 0; i < kOperations && !in.empty(); ++i) {
      uint8_t operation = in.Byte();
      bool own_lengths = (operation & kOwnLengths) != 0;
      ULONG code = 0;
      std::vector<UCHAR> input;
      ULONG output_length = 0;
      switch (Request(operation & 7)) {
        case kCommand:
          code = IOCTL_REZOVO_COMMAND;
          input = in.Bytes(COMMAND_RECORD_LENGTH);
          output_length = COMMAND_RECORD_LENGTH;
          break;
        case kInterface:
          code = IOCTL_REZOVO_INTERFACE;
          input = in.Bytes(INTERFACE_RECORD_LENGTH);
          output_length = INTERFACE_RECORD_LENGTH;
          break;
        case kString:
          code = IOCTL_REZOVO_GET_STRING_DESCRIPTOR;
          input = in.Bytes(STRING_REQUEST_INPUT_LENGTH);
          output_length = fuzz::Length(in.Byte());
          break;
        case kSetPortValue:
          code = IOCTL_REZOVO_SET_PORT_VALUE;
          input = in.Bytes(PORT_REQUEST_INPUT_LENGTH);
          output_length = SET_PORT_VALUE_OUTPUT_LENGTH;
          break;
        case kReadPort:
          code = IOCTL_REZOVO_READ_PORT;
          input = in.Bytes(PORT_REQUEST_INPUT_LENGTH);
          output_length = READ_PORT_OUTPUT_LENGTH;
          break;
        case kWritePortData:
          code = IOCTL_REZOVO_WRITE_PORT_DATA;
          input = in.Bytes(in.Byte());
          output_length = WRITE_PORT_DATA_OUTPUT_LENGTH;
          break;
        case kReaderCommand: {
          code = host::machine::kIoctlRawReaderCommand;
          uint8_t length = in.Byte();
          if (length == 0) {
            input.assign(std::begin(kGetStatus), std::end(kGetStatus));
          } else {
            input.assign(std::begin(kSetParametersHeader), std::end(kSetParametersHeader));
            input.push_back(length);
            std::vector<UCHAR> objects = in.Bytes(length);
            input.insert(input.end(), objects.begin(), objects.end());
          }
          output_length = host::machine::kAnswerCapacity;
          break;
        }
        case kPipeInfo:
          code = IOCTL_REZOVO_GET_PIPE_INFO;
          output_length = PIPE_INFO_HEADER_LENGTH + 2 * PIPE_INFO_ENTRY_LENGTH;
          break;
      }
      if (own_lengths) {
        input.resize(fuzz::Length(in.Byte()));
        output_length = fuzz::Length(in.Byte());
      }
      host::io::IoResult result = fuzz::Control(kTarget, m, r, code, input, output_length, false);
      if (code == IOCTL_REZOVO_COMMAND) CheckCommand(input, result, expected);
      if (code == IOCTL_REZOVO_INTERFACE) CheckInterface(input, result, expected);
    }
  });
  return 0;
}
