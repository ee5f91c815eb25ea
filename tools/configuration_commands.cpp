#include "tools/configuration_commands.h"

#include "tools/card_commands.h"
#include "tools/tool_machine.h"

namespace tools {

namespace {

constexpr host::kernel::Ticks kOpeningQuery = host::kernel::Milliseconds(100);
// How long after the change the reading command looks for an IN transfer on the bus.
constexpr host::kernel::Ticks kReadingSettle = host::kernel::Milliseconds(20);

// Whether the device has an IN transfer on the bus.
bool InTransferPending(ToolContext& c) {
  for (const host::usb::UrbRecord& r : c.converter.Urbs()) {
    bool transfer = r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    if (transfer && r.In() && !r.completed) return true;
  }
  return false;
}

int Usb(ToolContext& c) {
  HandleReader reader(c.reader);
  TraceHooks hooks(c);
  CommandIo io{c.out, c.err, hooks};
  return ShowUsb(reader, c.options.setting, io);
}

int Status(ToolContext& c) {
  HandleReader reader(c.reader);
  TraceHooks hooks(c);
  CommandIo io{c.out, c.err, hooks};
  return ShowConverterStatus(reader, io);
}

int Reading(ToolContext& c) {
  HandleReader reader(c.reader);
  TraceHooks hooks(c);
  CommandIo io{c.out, c.err, hooks};
  // The device's start completes before the reader link's bring-up, and card tracking's first
  // status query waits for it too: a request of the application's waits for both at the link's
  // gate. That query's read would turn permanent reading on again right after the change; the
  // next one is 1.2 s away.
  c.reader.GetState();
  c.machine.Wait(kOpeningQuery);
  if (int code = ChangeReading(reader, *c.options.reading, io)) return code;
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
  HandleReader reader(c.reader);
  TraceHooks hooks(c);
  CommandIo io{c.out, c.err, hooks};
  return PurgeFifos(reader, c.options.purge, io);
}

int Raw(ToolContext& c) {
  HandleReader reader(c.reader);
  TraceHooks hooks(c);
  CommandIo io{c.out, c.err, hooks};
  return SendRawCommands(reader, c.options.raw_commands, io);
}

int Vendor(ToolContext& c) {
  HandleReader reader(c.reader);
  TraceHooks hooks(c);
  CommandIo io{c.out, c.err, hooks};
  return ShowVendorAnswer(reader, c.options.vendor_tag, io);
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
