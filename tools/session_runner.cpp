#include "tools/session_runner.h"

#include <cstdio>
#include <string>

#include "host/io/io_manager.h"
#include "sim/t1_block.h"
#include "tools/timing_report.h"
#include "tools/tool_machine.h"

namespace tools {

namespace {

// The trace after each step, and each APDU's timing when the options ask for it.
class SessionHooks : public TraceHooks {
 public:
  using TraceHooks::TraceHooks;
  void BeginApdu() override { timing_.emplace(context_); }
  void EndApdu() override { timing_->Stop(); }
  void AfterApdu() override { timing_.reset(); }

 private:
  std::optional<ApduTiming> timing_;
};

int SwitchRate(ToolContext& c) {
  const SessionOptions& o = c.options;
  host::io::IoResult reply = c.reader.SwitchRate(o.rate);
  c.PrintTrace();
  if (!NT_SUCCESS(reply.status)) {
    c.err << "zarq7: rate switch to " << o.rate
          << " bit/s failed: " << host::io::StatusName(reply.status)
          << " (it needs the driver's raw reader command)\n";
    return 1;
  }
  if (!host::machine::ReaderAccepted(reply.output)) {
    c.err << "zarq7: rate switch to " << o.rate
          << " bit/s refused by the reader: " << sim::t1::Hex(reply.output) << "\n";
    return 1;
  }
  return 0;
}

int Session(ToolContext& c) {
  const SessionOptions& o = c.options;
  host::machine::ReaderHandle& reader = c.reader;
  c.PrintTrace();
  if (o.rate != kDefaultRate && SwitchRate(c) != 0) return 1;
  if (o.silent_reader) {
    // Once the link is up: a first request waits at the driver's link gate for the bring-up that
    // follows the device's start.
    reader.GetState();
    c.converter.line().reader_end().faults().Silence(c.machine.Now(), host::kernel::kNoDeadline);
  }
  HandleReader handle(reader);
  SessionHooks hooks(c);
  CommandIo io{c.out, c.err, hooks};
  return CardSession(handle, o.protocol == ProtocolChoice::kT1, o.rate, o.apdus, io);
}

}  // namespace

int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err) {
  return RunOnMachine(options, out, err, Session);
}

}  // namespace tools
