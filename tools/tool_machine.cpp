#include "tools/tool_machine.h"

#include <chrono>
#include <memory>

#include "host/io/io_manager.h"
#include "sim/cards/vpcd_bridge.h"
#include "sim/fault_script.h"
#include "tools/fault_report.h"

namespace tools {

namespace {

using host::machine::Converter;
using host::machine::Machine;

constexpr std::chrono::seconds kViccConnectTimeout{30};

host::machine::ConverterOptions CardOptions(CardChoice card, std::shared_ptr<sim::Card> vicc,
                                            uint64_t seed, const sim::ReaderOptions& reader) {
  host::machine::ConverterOptions options;
  options.rig.reader.reader = reader;
  // The seed draws the line's faults and the built-in card's random answers too.
  options.rig.reader.seed = seed;
  options.rig.reader.card.seed = seed;
  switch (card) {
    case CardChoice::kBuiltin:
      break;
    case CardChoice::kT0Only:
      options.rig.reader.card.t0_only = true;
      break;
    case CardChoice::kNone:
      options.rig.reader.insert_card = false;
      break;
    case CardChoice::kVicc:
      options.card = std::move(vicc);
      break;
  }
  return options;
}

std::string Text(const std::u16string& text) { return host::io::Narrow(text); }

// Plugs the converters in; the one at the unit's place in plug order carries the options' card,
// the others the built-in one. Returns the converter the tool opens.
Converter* PlugConverters(const SessionOptions& o, Machine& machine,
                          std::shared_ptr<sim::Card> vicc, std::unique_ptr<SessionTrace>& trace,
                          std::ostream& out) {
  unsigned count = o.converters ? o.converters : o.unit + 1;
  std::u16string wanted = host::machine::DeviceName(o.unit);
  Converter* chosen = nullptr;
  for (unsigned i = 0; i < count; ++i) {
    bool ours = i == o.unit;
    host::kernel::Ticks plugged_at = machine.Now();
    CardChoice card = ours ? o.card : CardChoice::kBuiltin;
    // The watch puts the emulator in the slot when it connects.
    if (card == CardChoice::kVicc && o.command == Command::kWatch) card = CardChoice::kNone;
    // The reader profile is the opened unit's; the others play the ideal reader.
    Converter& converter =
        machine.Plug(CardOptions(card, ours ? vicc : nullptr, o.seed,
                                 ours ? o.reader_profile.options : sim::ReaderOptions{}));
    if (ours) {
      sim::ApplyFaultScript(o.faults, converter.line(), converter.reader(), converter.card());
    }
    std::u16string name = converter.device_name();
    if (count > 1) {
      std::string why = converter.node() ? host::io::StatusName(converter.node()->last_status)
                                         : std::string("the bus made no device object");
      out << "converter at USB address " << converter.address() << ": "
          << (name.empty() ? "no device (" + why + ")" : Text(name)) << "\n";
    }
    if (name == wanted && !chosen) {
      chosen = &converter;
      trace = std::make_unique<SessionTrace>(converter, o.usb);
      trace->Note(plugged_at,
                  "converter plugged in at USB address " + std::to_string(converter.address()));
      trace->Note(machine.Now(), Text(name) + " " + host::io::DeviceStateName(converter.state()));
    }
  }
  return chosen;
}

}  // namespace

void ToolContext::PrintTrace() {
  if (options.trace) trace.Print(out);
}

int StepFailed(ToolContext& context, const std::string& what, NTSTATUS status) {
  context.PrintTrace();
  context.err << "zarq7: " << what << " failed: " << host::io::StatusName(status) << "\n";
  return 1;
}

int RunOnMachine(const SessionOptions& o, std::ostream& out, std::ostream& err,
                 const std::function<int(ToolContext&)>& command) {
  host::machine::MachineOptions machine_options;
  machine_options.kernel.seed = o.seed;
  std::shared_ptr<sim::VpcdBridge> vicc;
  if (o.card == CardChoice::kVicc) {
    // The emulator keeps its own time, so the machine runs in real time.
    machine_options.kernel.mode = host::kernel::Mode::kReal;
    std::string error;
    auto cannot = [&] {
      err << "zarq7: no vicc on 127.0.0.1:" << o.vicc_port << ": " << error << "\n";
      return 1;
    };
    vicc = sim::VpcdBridge::Listen(o.vicc_port, &error);
    if (!vicc) return cannot();
    // A watch starts with the slot empty and sees the emulator come; a session needs the card.
    bool wait = o.command != Command::kWatch;
    out << (wait ? "waiting for" : "listening for") << " vicc on 127.0.0.1:" << vicc->port()
        << " (for example: vicc --type iso7816 --hostname 127.0.0.1 --port " << vicc->port()
        << ")\n";
    out.flush();
    if (wait && !vicc->WaitForConnection(kViccConnectTimeout)) {
      error = "no emulator connected within 30 s";
      return cannot();
    }
  }

  Machine machine(machine_options);
  int code = 1;
  host::kernel::RunResult result = machine.Run([&](Machine& m) {
    std::unique_ptr<SessionTrace> trace;
    Converter* converter = PlugConverters(o, m, vicc, trace, out);
    std::string wanted = Text(host::machine::DeviceName(o.unit));
    if (!converter) {
      err << "zarq7: no converter carries " << wanted << "\n";
      return;
    }
    if (o.trace) {
      out << "trace from plug-in, "
          << (m.kernel().mode() == host::kernel::Mode::kReal ? "real" : "virtual")
          << " time since the machine booted; a block stands at the time of its first "
             "character:\n";
    }
    std::u16string path =
        o.reader_interface ? converter->reader_interface() : host::machine::DeviceName(o.unit);
    if (path.empty()) {
      if (o.trace) trace->Print(out);
      err << "zarq7: " << wanted << " has no smart card reader interface enabled\n";
      return;
    }
    host::machine::ReaderHandle reader(m);
    NTSTATUS status = reader.Open(path);
    if (o.trace) trace->Note(m.Now(), "opened " + Text(path) + ": " + host::io::StatusName(status));
    ToolContext context{o, m, *converter, reader, out, err, vicc, *trace};
    if (!NT_SUCCESS(status)) {
      code = StepFailed(context, "opening " + Text(path), status);
      return;
    }
    context.PrintTrace();
    out << "device: " << Text(path);
    if (o.reader_interface) out << " (" << wanted << ")";
    out << "\n";
    code = command(context);
    for (const std::string& line : FaultsNotStruck(o.faults, converter->reader(), m.Now())) {
      err << "zarq7: " << line << "\n";
    }
    reader.Close();
    if (o.trace) {
      trace->Note(m.Now(), "closed " + Text(path));
      trace->Print(out, true);
    }
    if (!o.pcap.empty()) {
      std::string error;
      if (!m.bus().WritePcap(o.pcap, &error)) {
        err << "zarq7: the capture was not written to " << o.pcap << ": " << error << "\n";
        code = 1;
      }
    }
  });
  if (!result.ok()) {
    err << "zarq7: the machine stopped: " << result.report << "\n";
    return 1;
  }
  return code;
}

namespace {

RequestAnswer Answer(host::io::IoResult&& r) { return {r.status, std::move(r.output)}; }

}  // namespace

RequestAnswer HandleReader::Control(uint32_t code, std::span<const uint8_t> input,
                                    uint32_t output_length) {
  return Answer(reader_.Control(code, input, output_length));
}

RequestAnswer HandleReader::GetAttribute(uint32_t tag) { return Answer(reader_.GetAttribute(tag)); }

RequestAnswer HandleReader::Power(uint32_t minor_code) { return Answer(reader_.Power(minor_code)); }

RequestAnswer HandleReader::SetProtocol(uint32_t mask) { return Answer(reader_.SetProtocol(mask)); }

RequestAnswer HandleReader::Transmit(std::span<const uint8_t> command) {
  return Answer(reader_.Transmit(command));
}

RequestAnswer HandleReader::RawReaderCommand(std::span<const uint8_t> command) {
  return Answer(reader_.RawReaderCommand(command));
}

}  // namespace tools
