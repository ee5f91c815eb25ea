#include "tools/configuration_commands.h"

#include <cstdio>
#include <string>

#include "host/io/io_manager.h"
#include "sim/t1_block.h"
#include "tools/converter_control.h"
#include "tools/converter_status.h"
#include "tools/session_text.h"
#include "tools/tool_machine.h"
#include "tools/trace_text.h"
#include "tools/usb_text.h"

namespace tools {

namespace {

constexpr uint16_t kThreadStart = 1;
constexpr uint16_t kThreadStop = 0;
constexpr host::kernel::Ticks kOpeningQuery = host::kernel::Milliseconds(100);
// How long after the change the reading command looks for an IN transfer on the bus.
constexpr host::kernel::Ticks kReadingSettle = host::kernel::Milliseconds(20);

void PrintLines(ToolContext& c, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) c.out << line << "\n";
}

int PipeTable(ToolContext& c, ConverterControl& control) {
  std::vector<PipeInfo> pipes;
  if (NTSTATUS s = control.Pipes(&pipes); !NT_SUCCESS(s)) return StepFailed(c, "pipe table", s);
  PrintLines(c, PipeTableLines(pipes));
  InterfaceSetting setting;
  if (NTSTATUS s = control.QuerySetting(&setting); !NT_SUCCESS(s)) {
    return StepFailed(c, "interface query", s);
  }
  c.out << SettingInUseLine(setting) << "\n";
  return 0;
}

int Usb(ToolContext& c) {
  HandleRequests requests(c.reader);
  ConverterControl control(requests);
  if (c.options.setting) {
    NTSTATUS s = control.SelectSetting(*c.options.setting);
    c.PrintTrace();
    if (!NT_SUCCESS(s)) {
      return StepFailed(c, "selecting alternate setting " + std::to_string(*c.options.setting), s);
    }
    // What the driver selected, not what was asked: it takes setting 0 for one the converter
    // does not have.
    InterfaceSetting setting;
    if (s = control.QuerySetting(&setting); !NT_SUCCESS(s)) {
      return StepFailed(c, "interface query", s);
    }
    c.out << SelectedSettingLine(*c.options.setting, setting) << "\n";
  }
  std::vector<uint8_t> device, configuration;
  NTSTATUS s = control.DeviceDescriptor(&device);
  if (!NT_SUCCESS(s)) return StepFailed(c, "device descriptor", s);
  s = control.ConfigurationDescriptor(&configuration);
  if (!NT_SUCCESS(s)) return StepFailed(c, "configuration descriptor", s);
  auto strings = [&](uint8_t index) {
    std::string text;
    return NT_SUCCESS(control.String(index, &text)) ? text : std::string();
  };
  PrintLines(c, DescribeDescriptors(device, configuration, strings));
  int code = PipeTable(c, control);
  c.PrintTrace();
  return code;
}

int Status(ToolContext& c) {
  HandleRequests requests(c.reader);
  ConverterControl control(requests);
  ConverterStatus status;
  std::string step;
  if (NTSTATUS s = ReadConverterStatus(control, &status, &step); !NT_SUCCESS(s)) {
    return StepFailed(c, step, s);
  }
  c.out << "converter status (the first four bytes of each reply):\n";
  PrintLines(c, DescribeConverterStatus(status));
  c.PrintTrace();
  return 0;
}

// What the driver says of its reading side.
int ReadingState(ToolContext& c, ConverterControl& control) {
  uint16_t thread = 0, size = 0;
  NTSTATUS s = control.Driver(kIsReadingThread, 0, &thread);
  if (NT_SUCCESS(s)) s = control.Driver(kGetReadBufferSize, 0, &size);
  if (!NT_SUCCESS(s)) return StepFailed(c, "reading state", s);
  c.out << ReadingStateLine(thread, size) << "\n";
  return 0;
}

// Whether the device has an IN transfer on the bus.
bool InTransferPending(ToolContext& c) {
  for (const host::usb::UrbRecord& r : c.converter.Urbs()) {
    bool transfer = r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    if (transfer && r.In() && !r.completed) return true;
  }
  return false;
}

int Reading(ToolContext& c) {
  HandleRequests requests(c.reader);
  ConverterControl control(requests);
  // The device's start completes before the reader link's bring-up, and card tracking's first
  // status query waits for it too: a request of the application's waits for both at the link's
  // gate. That query's read would turn permanent reading on again right after the change; the
  // next one is 1.2 s away.
  c.reader.GetState();
  c.machine.Wait(kOpeningQuery);
  if (int code = ReadingState(c, control)) return code;
  NTSTATUS s = STATUS_SUCCESS;
  std::string what;
  switch (*c.options.reading) {
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
  if (!NT_SUCCESS(s)) return StepFailed(c, what, s);
  c.out << what << "\n";
  if (int code = ReadingState(c, control)) return code;
  bool permanent =
      *c.options.reading == ReadingChoice::kOn || *c.options.reading == ReadingChoice::kOff;
  if (!permanent) {
    c.PrintTrace();
    return 0;
  }
  c.machine.Wait(kReadingSettle);
  c.out << "IN transfer pending " << kReadingSettle / host::kernel::kTicksPerMillisecond
        << " ms later: " << (InTransferPending(c) ? "yes" : "no")
        << " (the link's next read, such as card tracking's status query, turns permanent "
           "reading on)\n";
  c.PrintTrace();
  return 0;
}

int Purge(ToolContext& c) {
  HandleRequests requests(c.reader);
  ConverterControl control(requests);
  struct Kind {
    PurgeChoice choice;
    ULONG code;
    const char* name;
  } kinds[] = {{PurgeChoice::kTransmit, kIoctlPurgeTransmit, "transmit"},
               {PurgeChoice::kReceive, kIoctlPurgeReceive, "receive"}};
  for (const Kind& k : kinds) {
    if (c.options.purge != PurgeChoice::kBoth && c.options.purge != k.choice) continue;
    NTSTATUS s = control.Purge(k.code);
    c.PrintTrace();
    if (!NT_SUCCESS(s)) return StepFailed(c, std::string(k.name) + " purge", s);
    c.out << k.name << " FIFO purged\n";
  }
  return 0;
}

int Raw(ToolContext& c) {
  int code = 0;
  for (const std::vector<uint8_t>& command : c.options.raw_commands) {
    c.out << ReaderCommandLineText(command) << "\n";
    host::io::IoResult answer = c.reader.RawReaderCommand(command);
    c.PrintTrace();
    if (!NT_SUCCESS(answer.status)) {
      c.err << "zarq7: reader command " << sim::t1::Hex(command)
            << " failed: " << host::io::StatusName(answer.status) << "\n";
      code = 1;
      continue;
    }
    if (answer.output.size() < 2) {
      c.err << "zarq7: reader command " << sim::t1::Hex(command)
            << " answered without a status word: " << sim::t1::Hex(answer.output) << "\n";
      code = 1;
      continue;
    }
    PrintLines(c, ReaderAnswerLines(command, answer.output));
  }
  return code;
}

int Vendor(ToolContext& c) {
  host::io::IoResult answer = c.reader.GetAttribute(c.options.vendor_tag);
  c.PrintTrace();
  if (!NT_SUCCESS(answer.status))
    return StepFailed(c, "vendor request " + VendorTagText(c.options.vendor_tag), answer.status);
  c.out << VendorLine(c.options.vendor_tag, answer.output) << "\n";
  return 0;
}

}  // namespace

int RunUsb(const SessionOptions& o, std::ostream& out, std::ostream& err) {
  return RunOnMachine(o, out, err, Usb);
}
int RunStatus(const SessionOptions& o, std::ostream& out, std::ostream& err) {
  return RunOnMachine(o, out, err, Status);
}
int RunReading(const SessionOptions& o, std::ostream& out, std::ostream& err) {
  return RunOnMachine(o, out, err, Reading);
}
int RunPurge(const SessionOptions& o, std::ostream& out, std::ostream& err) {
  return RunOnMachine(o, out, err, Purge);
}
int RunRaw(const SessionOptions& o, std::ostream& out, std::ostream& err) {
  return RunOnMachine(o, out, err, Raw);
}
int RunVendor(const SessionOptions& o, std::ostream& out, std::ostream& err) {
  return RunOnMachine(o, out, err, Vendor);
}

}  // namespace tools
