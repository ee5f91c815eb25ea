#include "tools/watch.h"

#include <atomic>
#include <csignal>
#include <optional>

#include "host/io/io_manager.h"
#include "tools/tool_machine.h"
#include "tools/trace_text.h"

namespace tools {

namespace {

using host::kernel::Ticks;

// How long the watch goes on after the script's last event: two rounds of the driver's card
// tracking (1.2 s) and then some.
constexpr Ticks kAfterLastEvent = host::kernel::Seconds(3);
// How often the tool looks whether its request has completed.
constexpr Ticks kPollInterval = host::kernel::Milliseconds(1);

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int) { interrupted = true; }

bool Present(ULONG state) { return state > SCARD_ABSENT; }

std::string TrimmedTimeText(Ticks t) {
  std::string text = TimeText(t);
  return text.substr(text.find_first_not_of(' '));
}

// When the watch ends: the options' time, the script's end, or (live) never.
Ticks Deadline(const SessionOptions& o, Ticks start) {
  if (o.watch_for) return start + *o.watch_for;
  if (o.card == CardChoice::kVicc) return host::kernel::kNoDeadline;
  return start + (o.events.empty() ? 0 : o.events.back().at) + kAfterLastEvent;
}

void Script(ToolContext& c, Ticks start) {
  sim::Reader& slot = c.converter.reader();
  for (const CardEvent& e : c.options.events) {
    if (e.insert) {
      slot.InsertCardAt(start + e.at, c.converter.rig().card());
    } else {
      slot.RemoveCardAt(start + e.at);
    }
  }
}

// Each line is flushed: a watch is read as it goes.
int Watch(ToolContext& c) {
  const SessionOptions& o = c.options;
  Ticks start = c.machine.Now();
  Ticks deadline = Deadline(o, start);
  Script(c, start);
  std::optional<sim::VpcdPresence> emulator;
  if (c.vicc) emulator.emplace(c.machine.kernel(), c.converter.reader(), c.vicc);
  bool present = Present(c.reader.GetState());
  c.PrintTrace();
  c.out << WatchLine(start, CardPresenceText(present)) << std::endl;
  size_t scripted = 0;
  while (true) {
    host::io::AsyncIo request = present ? c.reader.IsAbsent() : c.reader.IsPresent();
    while (!request.done() && c.machine.Now() < deadline && !interrupted) {
      c.machine.kernel().SleepFor(kPollInterval);
    }
    if (!request.done()) {
      c.reader.CancelIo();
      request.Wait();
      c.PrintTrace();
      c.out << WatchLine(c.machine.Now(), interrupted ? "interrupted" : "watch over") << std::endl;
      return 0;
    }
    Ticks noticed = c.machine.Now();
    host::io::IoResult result = request.Wait();
    if (!NT_SUCCESS(result.status)) {
      return StepFailed(c, present ? "the absence request" : "the presence request", result.status);
    }
    bool now_present = Present(c.reader.GetState());
    c.PrintTrace();
    if (now_present == present) {
      c.out << WatchLine(noticed, CardUnchangedText(present)) << std::endl;
      continue;
    }
    present = now_present;
    c.out << WatchLine(noticed, CardChangeText(present));
    if (scripted < o.events.size()) {
      c.out << " (" << (present ? "put in" : "taken out") << " at "
            << TrimmedTimeText(start + o.events[scripted++].at) << ")";
    }
    c.out << std::endl;
  }
}

}  // namespace

int RunWatch(const SessionOptions& options, std::ostream& out, std::ostream& err) {
  interrupted = false;
  auto previous_interrupt = std::signal(SIGINT, OnInterrupt);
  auto previous_terminate = std::signal(SIGTERM, OnInterrupt);
  int code = RunOnMachine(options, out, err, Watch);
  std::signal(SIGINT, previous_interrupt);
  std::signal(SIGTERM, previous_terminate);
  return code;
}

}  // namespace tools
