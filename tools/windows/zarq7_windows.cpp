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

#include "tools/card_commands.h"
#include "tools/session_text.h"
#include "tools/windows/reader_device.h"
#include "tools/windows/status_text.h"
#include "tools/windows/windows_options.h"

namespace tools::win {

namespace {

// How long the reading command lets card tracking's first status query go by.
constexpr DWORD kOpeningQueryMilliseconds = 100;
// How often a watch looks whether it was interrupted or its time is up.
constexpr DWORD kWatchPollMilliseconds = 50;
constexpr int kExitFailed = 1;
// What the driver answers a second open: it admits one handle at a time.
constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001);
constexpr char kHeldHint[] =
    " (the driver admits one handle at a time, and the Smart Card service holds its readers "
    "open: stop it first, net stop SCardSvr)";
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

// The reader's line rate, which this tool leaves as the driver set it.
constexpr uint32_t kLineRate = 9600;

std::optional<uint32_t> DeviceUnit(ReaderDevice& reader) {
  RequestAnswer r = reader.GetAttribute(SCARD_ATTR_DEVICE_UNIT);
  if (!StatusSucceeded(r.status)) return std::nullopt;
  return AttributeUlong(r.output);
}

int Reading(Context& c, CommandIo& io) {
  // A request of the application's waits at the driver's link gate for the bring-up that follows
  // the device's start, and card tracking's first status query with it; that query's read would
  // turn permanent reading on again right after the change.
  c.reader.GetState();
  Sleep(kOpeningQueryMilliseconds);
  return ChangeReading(c.reader, *c.options.reading, io);
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
int Watch(Context& c, CommandIo& io) {
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
      return StepFailed(io, present ? "the absence request" : "the presence request",
                        result.status);
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
  size_t held = 0;
  for (const std::string& path : paths) {
    int32_t status = reader.Open(path);
    if (!StatusSucceeded(status)) {
      // Searching for a unit, a reader that another application holds is not the one wanted.
      if (o.unit && o.device.empty()) {
        ++held;
        continue;
      }
      err << "zarq7: opening " << path << " failed: " << StatusText(status)
          << (status == kStatusUnsuccessful ? kHeldHint : "") << "\n";
      return false;
    }
    if (o.unit && o.device.empty()) {
      std::optional<uint32_t> unit = DeviceUnit(reader);
      if (unit != o.unit) {
        reader.Close();
        continue;
      }
    }
    *opened = path;
    return true;
  }
  err << "zarq7: no reader has unit " << *o.unit << " (" << paths.size() << " found";
  if (held) err << ", " << held << " of them not opened" << kHeldHint;
  err << ")\n";
  return false;
}

int Run(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.command == Command::kList) return List(out, err);
  ReaderDevice reader;
  std::string path;
  if (!OpenReader(o, reader, &path, err)) return kExitFailed;
  out << "device: " << path << "\n";
  Context c{o, reader, out, err};
  CommandHooks hooks;
  CommandIo io{out, err, hooks};
  switch (o.command) {
    case Command::kSession:
      return CardSession(reader, o.t1, kLineRate, o.apdus, io);
    case Command::kWatch:
      return Watch(c, io);
    case Command::kUsb:
      return ShowUsb(reader, o.setting, io);
    case Command::kStatus:
      return ShowConverterStatus(reader, io);
    case Command::kReading:
      return Reading(c, io);
    case Command::kPurge:
      return PurgeFifos(reader, o.purge, io);
    case Command::kRaw:
      return SendRawCommands(reader, o.raw_commands, io);
    case Command::kVendor:
      return ShowVendorAnswer(reader, o.vendor_tag, io);
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
