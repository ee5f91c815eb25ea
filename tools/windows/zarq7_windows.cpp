// zarq7.exe: the zarq7 tool on Windows (and Wine), an application of the real system with the
// driver installed. It finds the reader through SetupDi and does everything with DeviceIoControl;
// what it prints comes from the code the host tool prints with, so a session reads the same.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "sim/t1_block.h"
#include "tools/atr_explanation.h"
#include "tools/card_state.h"
#include "tools/converter_control.h"
#include "tools/converter_status.h"
#include "tools/session_text.h"
#include "tools/usb_text.h"
#include "tools/windows/reader_device.h"
#include "tools/windows/status_text.h"
#include "tools/windows/windows_options.h"

namespace tools::win {

namespace {

constexpr uint16_t kThreadStart = 1;
constexpr uint16_t kThreadStop = 0;
// A request of the application's waits at the driver's link gate for the bring-up that follows
// the device's start, and card tracking's first status query with it; that query's read would
// turn permanent reading on again right after a change.
constexpr DWORD kOpeningQueryMilliseconds = 100;
// How often a watch looks whether it was interrupted or its time is up.
constexpr DWORD kWatchPollMilliseconds = 50;
constexpr int kExitFailed = 1;
constexpr int kExitWrongInput = 2;

std::atomic<bool> interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD) {
  interrupted = true;
  return TRUE;
}

struct Context {
  const Options& options;
  ReaderDevice& reader;
  std::ostream& out;
  std::ostream& err;
};

int StepFailed(Context& c, const std::string& what, int32_t status) {
  c.err << "zarq7: " << what << " failed: " << StatusText(status) << "\n";
  return kExitFailed;
}

void PrintLines(Context& c, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) c.out << line << "\n";
}

std::optional<std::string> TextAttribute(ReaderDevice& reader, uint32_t tag) {
  RequestAnswer r = reader.GetAttribute(tag);
  if (!StatusSucceeded(r.status)) return std::nullopt;
  return AttributeText(r.output);
}

std::optional<uint32_t> UlongAttribute(ReaderDevice& reader, uint32_t tag) {
  RequestAnswer r = reader.GetAttribute(tag);
  if (!StatusSucceeded(r.status)) return std::nullopt;
  return AttributeUlong(r.output);
}

// The line's rate is the reader's, which this tool does not change.
constexpr uint32_t kLineRate = 9600;

int TransmitEach(Context& c) {
  int code = 0;
  for (const std::vector<uint8_t>& apdu : c.options.apdus) {
    c.out << CommandLineText(apdu) << "\n";
    RequestAnswer answer = c.reader.Transmit(apdu);
    if (!StatusSucceeded(answer.status)) {
      c.err << "zarq7: APDU " << sim::t1::Hex(apdu) << " failed: " << StatusText(answer.status)
            << "\n";
      code = kExitFailed;
      continue;
    }
    if (answer.output.size() < 2) {
      c.err << "zarq7: APDU " << sim::t1::Hex(apdu)
            << " answered without a status word: " << sim::t1::Hex(answer.output) << "\n";
      code = kExitFailed;
      continue;
    }
    PrintLines(c, ApduAnswerLines(answer.output));
  }
  return code;
}

int Session(Context& c) {
  ReaderDevice& reader = c.reader;
  c.out << ReaderLine(TextAttribute(reader, SCARD_ATTR_VENDOR_NAME),
                      TextAttribute(reader, SCARD_ATTR_VENDOR_IFD_TYPE),
                      UlongAttribute(reader, SCARD_ATTR_VENDOR_IFD_VERSION),
                      UlongAttribute(reader, SCARD_ATTR_DEVICE_UNIT), kLineRate)
        << "\n";
  c.out << "card: " << CardStateName(reader.GetState()) << "\n";

  RequestAnswer reset = reader.Power(SCARD_COLD_RESET);
  if (!StatusSucceeded(reset.status)) return StepFailed(c, "card reset", reset.status);
  if (reset.output.empty()) {
    c.err << "zarq7: card reset failed: no ATR came back\n";
    return kExitFailed;
  }
  c.out << "ATR: " << sim::t1::Hex(reset.output) << "\n";
  for (const std::string& line : ExplainAtr(reset.output)) c.out << "  " << line << "\n";

  RequestAnswer protocol = reader.SetProtocol(c.options.t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0);
  if (!StatusSucceeded(protocol.status)) {
    if (std::optional<std::string> why = ProtocolNotOffered(reset.output, c.options.t1)) {
      c.err << "zarq7: protocol selection failed: " << *why << ": " << StatusText(protocol.status)
            << "\n";
      return kExitFailed;
    }
    return StepFailed(c, "protocol selection", protocol.status);
  }
  c.out << "protocol: " << (reader.protocol() == SCARD_PROTOCOL_T1 ? "T=1" : "T=0") << "\n";
  return TransmitEach(c);
}

int PipeTable(Context& c, ConverterControl& control) {
  std::vector<PipeInfo> pipes;
  if (int32_t s = control.Pipes(&pipes); !StatusSucceeded(s)) return StepFailed(c, "pipe table", s);
  PrintLines(c, PipeTableLines(pipes));
  InterfaceSetting setting;
  if (int32_t s = control.QuerySetting(&setting); !StatusSucceeded(s)) {
    return StepFailed(c, "interface query", s);
  }
  c.out << SettingInUseLine(setting) << "\n";
  return 0;
}

int Usb(Context& c) {
  ConverterControl control(c.reader);
  if (c.options.setting) {
    int32_t s = control.SelectSetting(*c.options.setting);
    if (!StatusSucceeded(s)) {
      return StepFailed(c, "selecting alternate setting " + std::to_string(*c.options.setting), s);
    }
    InterfaceSetting setting;
    if (s = control.QuerySetting(&setting); !StatusSucceeded(s)) {
      return StepFailed(c, "interface query", s);
    }
    c.out << SelectedSettingLine(*c.options.setting, setting) << "\n";
  }
  std::vector<uint8_t> device, configuration;
  int32_t s = control.DeviceDescriptor(&device);
  if (!StatusSucceeded(s)) return StepFailed(c, "device descriptor", s);
  s = control.ConfigurationDescriptor(&configuration);
  if (!StatusSucceeded(s)) return StepFailed(c, "configuration descriptor", s);
  auto strings = [&](uint8_t index) {
    std::string text;
    return StatusSucceeded(control.String(index, &text)) ? text : std::string();
  };
  PrintLines(c, DescribeDescriptors(device, configuration, strings));
  return PipeTable(c, control);
}

int Status(Context& c) {
  ConverterControl control(c.reader);
  ConverterStatus status;
  std::string step;
  if (int32_t s = ReadConverterStatus(control, &status, &step); !StatusSucceeded(s)) {
    return StepFailed(c, step, s);
  }
  c.out << "converter status (the first four bytes of each reply):\n";
  PrintLines(c, DescribeConverterStatus(status));
  return 0;
}

int ReadingState(Context& c, ConverterControl& control) {
  uint16_t thread = 0, size = 0;
  int32_t s = control.Driver(kIsReadingThread, 0, &thread);
  if (StatusSucceeded(s)) s = control.Driver(kGetReadBufferSize, 0, &size);
  if (!StatusSucceeded(s)) return StepFailed(c, "reading state", s);
  c.out << ReadingStateLine(thread, size) << "\n";
  return 0;
}

int Reading(Context& c) {
  ConverterControl control(c.reader);
  c.reader.GetState();
  Sleep(kOpeningQueryMilliseconds);
  if (int code = ReadingState(c, control)) return code;
  int32_t s = 0;
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
  if (!StatusSucceeded(s)) return StepFailed(c, what, s);
  c.out << what << "\n";
  return ReadingState(c, control);
}

int Purge(Context& c) {
  ConverterControl control(c.reader);
  struct Kind {
    PurgeChoice choice;
    uint32_t code;
    const char* name;
  } kinds[] = {{PurgeChoice::kTransmit, kIoctlPurgeTransmit, "transmit"},
               {PurgeChoice::kReceive, kIoctlPurgeReceive, "receive"}};
  for (const Kind& k : kinds) {
    if (c.options.purge != PurgeChoice::kBoth && c.options.purge != k.choice) continue;
    int32_t s = control.Purge(k.code);
    if (!StatusSucceeded(s)) return StepFailed(c, std::string(k.name) + " purge", s);
    c.out << k.name << " FIFO purged\n";
  }
  return 0;
}

int Raw(Context& c) {
  int code = 0;
  for (const std::vector<uint8_t>& command : c.options.raw_commands) {
    c.out << ReaderCommandLineText(command) << "\n";
    RequestAnswer answer = c.reader.RawReaderCommand(command);
    if (!StatusSucceeded(answer.status)) {
      c.err << "zarq7: reader command " << sim::t1::Hex(command)
            << " failed: " << StatusText(answer.status) << "\n";
      code = kExitFailed;
      continue;
    }
    if (answer.output.size() < 2) {
      c.err << "zarq7: reader command " << sim::t1::Hex(command)
            << " answered without a status word: " << sim::t1::Hex(answer.output) << "\n";
      code = kExitFailed;
      continue;
    }
    PrintLines(c, ReaderAnswerLines(command, answer.output));
  }
  return code;
}

int Vendor(Context& c) {
  RequestAnswer answer = c.reader.GetAttribute(c.options.vendor_tag);
  if (!StatusSucceeded(answer.status)) {
    return StepFailed(c, "vendor request " + VendorTagText(c.options.vendor_tag), answer.status);
  }
  c.out << VendorLine(c.options.vendor_tag, answer.output) << "\n";
  return 0;
}

// Time since the watch began, in the kernel's unit.
class Stopwatch {
 public:
  Stopwatch() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  host::kernel::Ticks Elapsed() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    long long counts = now.QuadPart - start_.QuadPart;
    long long per_second = frequency_.QuadPart;
    return counts / per_second * host::kernel::kTicksPerSecond +
           counts % per_second * host::kernel::kTicksPerSecond / per_second;
  }

 private:
  LARGE_INTEGER frequency_{}, start_{};
};

bool Present(uint32_t state) { return state > SCARD_ABSENT; }

// Each line is flushed: a watch is read as it goes.
int Watch(Context& c) {
  interrupted = false;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  Stopwatch clock;
  bool present = Present(c.reader.GetState());
  c.out << WatchLine(clock.Elapsed(), CardPresenceText(present)) << std::endl;
  auto over = [&] {
    return interrupted || (c.options.watch_for && clock.Elapsed() >= *c.options.watch_for);
  };
  while (true) {
    PendingRequest request(c.reader.handle(),
                           present ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    while (!request.Wait(kWatchPollMilliseconds) && !over()) {
    }
    if (!request.Wait(0)) {
      request.Cancel();
      request.Finish();
      c.out << WatchLine(clock.Elapsed(), interrupted ? "interrupted" : "watch over") << std::endl;
      return 0;
    }
    host::kernel::Ticks noticed = clock.Elapsed();
    RequestAnswer result = request.Finish();
    if (!StatusSucceeded(result.status)) {
      return StepFailed(c, present ? "the absence request" : "the presence request", result.status);
    }
    bool now_present = Present(c.reader.GetState());
    if (now_present == present) {
      c.out << WatchLine(noticed, CardUnchangedText(present)) << std::endl;
      continue;
    }
    present = now_present;
    c.out << WatchLine(noticed, CardChangeText(present)) << std::endl;
  }
}

int List(std::ostream& out, std::ostream& err) {
  std::vector<std::string> paths;
  std::string error;
  if (!FindReaders(&paths, &error)) {
    err << "zarq7: " << error << "\n";
    return kExitFailed;
  }
  for (const std::string& path : paths) out << path << "\n";
  return 0;
}

// Opens the reader the options name; a one-line message and false when there is none.
bool OpenReader(const Options& o, ReaderDevice& reader, std::string* opened, std::ostream& err) {
  std::vector<std::string> paths;
  if (!o.device.empty()) {
    paths.push_back(o.device);
  } else {
    std::string error;
    if (!FindReaders(&paths, &error)) {
      err << "zarq7: " << error << "\n";
      return false;
    }
    if (paths.empty()) {
      err << "zarq7: no smart card reader found: no device has the smart card reader interface "
          << kReaderInterfaceText << " enabled\n";
      return false;
    }
  }
  int32_t last = 0;
  for (const std::string& path : paths) {
    last = reader.Open(path);
    if (!StatusSucceeded(last)) {
      // Searching for a unit, a reader that another application holds is not the one wanted.
      if (o.unit && o.device.empty()) continue;
      err << "zarq7: opening " << path << " failed: " << StatusText(last) << "\n";
      return false;
    }
    if (o.unit && o.device.empty()) {
      std::optional<uint32_t> unit = UlongAttribute(reader, SCARD_ATTR_DEVICE_UNIT);
      if (unit != o.unit) {
        reader.Close();
        continue;
      }
    }
    *opened = path;
    return true;
  }
  err << "zarq7: no reader has unit " << *o.unit << " (" << paths.size() << " found)\n";
  return false;
}

int Run(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.command == Command::kList) return List(out, err);
  ReaderDevice reader;
  std::string path;
  if (!OpenReader(o, reader, &path, err)) return kExitFailed;
  out << "device: " << path << "\n";
  Context c{o, reader, out, err};
  switch (o.command) {
    case Command::kSession:
      return Session(c);
    case Command::kWatch:
      return Watch(c);
    case Command::kUsb:
      return Usb(c);
    case Command::kStatus:
      return Status(c);
    case Command::kReading:
      return Reading(c);
    case Command::kPurge:
      return Purge(c);
    case Command::kRaw:
      return Raw(c);
    case Command::kVendor:
      return Vendor(c);
    case Command::kList:
      break;
  }
  return kExitWrongInput;
}

}  // namespace

}  // namespace tools::win

int main(int argc, char** argv) {
  // The host tool's bytes: lines end in LF alone, so that the two tools' output compares as it is.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  tools::win::CommandLine command_line = tools::win::ParseCommandLine(arguments);
  if (!command_line.ok) {
    std::cerr << "zarq7: " << command_line.error << "\n";
    return tools::win::kExitWrongInput;
  }
  if (command_line.help) {
    std::cout << tools::win::UsageText();
    return 0;
  }
  return tools::win::Run(command_line.options, std::cout, std::cerr);
}
