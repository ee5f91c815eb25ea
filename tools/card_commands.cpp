#include "tools/card_commands.h"

#include "host/io/status_name.h"
#include "platform/smclib.h"
#include "sim/t1_block.h"
#include "tools/atr_explanation.h"
#include "tools/card_state.h"
#include "tools/converter_control.h"
#include "tools/converter_status.h"
#include "tools/session_text.h"
#include "tools/usb_text.h"

namespace tools {

namespace {

constexpr uint16_t kThreadStart = 1;
constexpr uint16_t kThreadStop = 0;
constexpr size_t kStatusWordLength = 2;

void PrintLines(CommandIo& io, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) io.out << line << "\n";
}

std::optional<std::string> TextAttribute(CardReader& reader, ULONG tag) {
  RequestAnswer r = reader.GetAttribute(tag);
  if (!NT_SUCCESS(r.status)) return std::nullopt;
  return AttributeText(r.output);
}

std::optional<uint32_t> UlongAttribute(CardReader& reader, ULONG tag) {
  RequestAnswer r = reader.GetAttribute(tag);
  if (!NT_SUCCESS(r.status)) return std::nullopt;
  return AttributeUlong(r.output);
}

// Ends the hooks' APDU however its iteration ends.
class ApduScope {
 public:
  explicit ApduScope(CommandHooks& hooks) : hooks_(hooks) { hooks_.BeginApdu(); }
  ~ApduScope() { hooks_.AfterApdu(); }
  ApduScope(const ApduScope&) = delete;
  ApduScope& operator=(const ApduScope&) = delete;

 private:
  CommandHooks& hooks_;
};

int TransmitEach(CardReader& reader, const std::vector<std::vector<uint8_t>>& apdus,
                 CommandIo& io) {
  int code = 0;
  for (const std::vector<uint8_t>& apdu : apdus) {
    io.out << CommandLineText(apdu) << "\n";
    ApduScope scope(io.hooks);
    RequestAnswer answer = reader.Transmit(apdu);
    io.hooks.EndApdu();
    io.hooks.Progress();
    if (!NT_SUCCESS(answer.status)) {
      io.err << "zarq7: APDU " << sim::t1::Hex(apdu)
             << " failed: " << host::io::StatusName(answer.status) << "\n";
      code = 1;
      continue;
    }
    if (answer.output.size() < kStatusWordLength) {
      io.err << "zarq7: APDU " << sim::t1::Hex(apdu)
             << " answered without a status word: " << sim::t1::Hex(answer.output) << "\n";
      code = 1;
      continue;
    }
    PrintLines(io, ApduAnswerLines(answer.output));
  }
  return code;
}

int PipeTable(ConverterControl& control, CommandIo& io) {
  std::vector<PipeInfo> pipes;
  if (NTSTATUS s = control.Pipes(&pipes); !NT_SUCCESS(s)) return StepFailed(io, "pipe table", s);
  PrintLines(io, PipeTableLines(pipes));
  InterfaceSetting setting;
  if (NTSTATUS s = control.QuerySetting(&setting); !NT_SUCCESS(s)) {
    return StepFailed(io, "interface query", s);
  }
  io.out << SettingInUseLine(setting) << "\n";
  return 0;
}

// What the driver says of its reading side.
int ReadingState(ConverterControl& control, CommandIo& io) {
  uint16_t thread = 0, size = 0;
  NTSTATUS s = control.Driver(kIsReadingThread, 0, &thread);
  if (NT_SUCCESS(s)) s = control.Driver(kGetReadBufferSize, 0, &size);
  if (!NT_SUCCESS(s)) return StepFailed(io, "reading state", s);
  io.out << ReadingStateLine(thread, size) << "\n";
  return 0;
}

}  // namespace

int StepFailed(CommandIo& io, const std::string& what, int32_t status) {
  io.hooks.Progress();
  io.err << "zarq7: " << what << " failed: " << host::io::StatusName(status) << "\n";
  return 1;
}

int CardSession(CardReader& reader, bool t1, uint32_t line_rate,
                const std::vector<std::vector<uint8_t>>& apdus, CommandIo& io) {
  io.out << ReaderLine(TextAttribute(reader, SCARD_ATTR_VENDOR_NAME),
                       TextAttribute(reader, SCARD_ATTR_VENDOR_IFD_TYPE),
                       UlongAttribute(reader, SCARD_ATTR_VENDOR_IFD_VERSION),
                       UlongAttribute(reader, SCARD_ATTR_DEVICE_UNIT), line_rate)
         << "\n";
  io.out << "card: " << CardStateName(reader.GetState()) << "\n";

  RequestAnswer reset = reader.Power(SCARD_COLD_RESET);
  io.hooks.Progress();
  if (!NT_SUCCESS(reset.status)) return StepFailed(io, "card reset", reset.status);
  if (reset.output.empty()) {
    io.err << "zarq7: card reset failed: no ATR came back\n";
    return 1;
  }
  io.out << "ATR: " << sim::t1::Hex(reset.output) << "\n";
  for (const std::string& line : ExplainAtr(reset.output)) io.out << "  " << line << "\n";

  RequestAnswer protocol = reader.SetProtocol(t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0);
  io.hooks.Progress();
  if (!NT_SUCCESS(protocol.status)) {
    // The ATR says what the card offers; a refusal of a protocol it lacks is no mystery.
    if (std::optional<std::string> why = ProtocolNotOffered(reset.output, t1)) {
      io.err << "zarq7: protocol selection failed: " << *why << ": "
             << host::io::StatusName(protocol.status) << "\n";
      return 1;
    }
    return StepFailed(io, "protocol selection", protocol.status);
  }
  io.out << "protocol: " << (reader.protocol() == SCARD_PROTOCOL_T1 ? "T=1" : "T=0") << "\n";
  return TransmitEach(reader, apdus, io);
}

int ShowUsb(DeviceRequests& device, std::optional<uint8_t> setting, CommandIo& io) {
  ConverterControl control(device);
  if (setting) {
    NTSTATUS s = control.SelectSetting(*setting);
    io.hooks.Progress();
    if (!NT_SUCCESS(s)) {
      return StepFailed(io, "selecting alternate setting " + std::to_string(*setting), s);
    }
    // What the driver selected, not what was asked: it takes setting 0 for one the converter
    // does not have.
    InterfaceSetting selected;
    if (s = control.QuerySetting(&selected); !NT_SUCCESS(s)) {
      return StepFailed(io, "interface query", s);
    }
    io.out << SelectedSettingLine(*setting, selected) << "\n";
  }
  std::vector<uint8_t> device_descriptor, configuration;
  NTSTATUS s = control.DeviceDescriptor(&device_descriptor);
  if (!NT_SUCCESS(s)) return StepFailed(io, "device descriptor", s);
  s = control.ConfigurationDescriptor(&configuration);
  if (!NT_SUCCESS(s)) return StepFailed(io, "configuration descriptor", s);
  auto strings = [&](uint8_t index) {
    std::string text;
    return NT_SUCCESS(control.String(index, &text)) ? text : std::string();
  };
  PrintLines(io, DescribeDescriptors(device_descriptor, configuration, strings));
  int code = PipeTable(control, io);
  io.hooks.Progress();
  return code;
}

int ShowConverterStatus(DeviceRequests& device, CommandIo& io) {
  ConverterControl control(device);
  ConverterStatus status;
  std::string step;
  if (NTSTATUS s = ReadConverterStatus(control, &status, &step); !NT_SUCCESS(s)) {
    return StepFailed(io, step, s);
  }
  io.out << "converter status (the first four bytes of each reply):\n";
  PrintLines(io, DescribeConverterStatus(status));
  io.hooks.Progress();
  return 0;
}

int ChangeReading(DeviceRequests& device, ReadingChoice choice, CommandIo& io) {
  ConverterControl control(device);
  if (int code = ReadingState(control, io)) return code;
  NTSTATUS s = STATUS_SUCCESS;
  std::string what;
  switch (choice) {
    case ReadingChoice::kOn:
      what = "permanent reading on";
      s = control.Driver(kStartPermanentReading);
      break;
    case ReadingChoice::kOff:
      what = "permanent reading off";
      s = control.Driver(kStopPermanentReading);
      break;
    case ReadingChoice::kStop:
      what = "reading thread stopped";
      s = control.Driver(kSetReadingThread, kThreadStop);
      break;
    case ReadingChoice::kStart:
      what = "reading thread started";
      s = control.Driver(kSetReadingThread, kThreadStart);
      break;
  }
  if (!NT_SUCCESS(s)) return StepFailed(io, what, s);
  io.out << what << "\n";
  return ReadingState(control, io);
}

int PurgeFifos(DeviceRequests& device, PurgeChoice choice, CommandIo& io) {
  ConverterControl control(device);
  struct Kind {
    PurgeChoice choice;
    uint32_t code;
    const char* name;
  } kinds[] = {{PurgeChoice::kTransmit, kIoctlPurgeTransmit, "transmit"},
               {PurgeChoice::kReceive, kIoctlPurgeReceive, "receive"}};
  for (const Kind& k : kinds) {
    if (choice != PurgeChoice::kBoth && choice != k.choice) continue;
    NTSTATUS s = control.Purge(k.code);
    io.hooks.Progress();
    if (!NT_SUCCESS(s)) return StepFailed(io, std::string(k.name) + " purge", s);
    io.out << k.name << " FIFO purged\n";
  }
  return 0;
}

int SendRawCommands(CardReader& reader, const std::vector<std::vector<uint8_t>>& commands,
                    CommandIo& io) {
  int code = 0;
  for (const std::vector<uint8_t>& command : commands) {
    io.out << ReaderCommandLineText(command) << "\n";
    RequestAnswer answer = reader.RawReaderCommand(command);
    io.hooks.Progress();
    if (!NT_SUCCESS(answer.status)) {
      io.err << "zarq7: reader command " << sim::t1::Hex(command)
             << " failed: " << host::io::StatusName(answer.status) << "\n";
      code = 1;
      continue;
    }
    if (answer.output.size() < kStatusWordLength) {
      io.err << "zarq7: reader command " << sim::t1::Hex(command)
             << " answered without a status word: " << sim::t1::Hex(answer.output) << "\n";
      code = 1;
      continue;
    }
    PrintLines(io, ReaderAnswerLines(command, answer.output));
  }
  return code;
}

int ShowVendorAnswer(CardReader& reader, uint32_t tag, CommandIo& io) {
  RequestAnswer answer = reader.GetAttribute(tag);
  io.hooks.Progress();
  if (!NT_SUCCESS(answer.status)) {
    return StepFailed(io, "vendor request " + VendorTagText(tag), answer.status);
  }
  io.out << VendorLine(tag, answer.output) << "\n";
  return 0;
}

}  // namespace tools
