#include "tools/session_runner.h"

#include <cstdio>
#include <string>

#include "host/io/io_manager.h"
#include "sim/t1_block.h"
#include "tools/atr_explanation.h"
#include "tools/card_state.h"
#include "tools/session_text.h"
#include "tools/timing_report.h"
#include "tools/tool_machine.h"

namespace tools {

namespace {

std::optional<std::string> AttributeText(const host::io::IoResult& r) {
  if (!NT_SUCCESS(r.status)) return std::nullopt;
  return tools::AttributeText(r.output);
}

std::optional<uint32_t> AttributeUlong(const host::io::IoResult& r) {
  if (!NT_SUCCESS(r.status)) return std::nullopt;
  return tools::AttributeUlong(r.output);
}

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

int TransmitEach(ToolContext& c) {
  int code = 0;
  for (const std::vector<uint8_t>& apdu : c.options.apdus) {
    c.out << CommandLineText(apdu) << "\n";
    ApduTiming timing(c);
    host::io::IoResult answer = c.reader.Transmit(apdu);
    timing.Stop();
    c.PrintTrace();
    if (!NT_SUCCESS(answer.status)) {
      c.err << "zarq7: APDU " << sim::t1::Hex(apdu)
            << " failed: " << host::io::StatusName(answer.status) << "\n";
      code = 1;
      continue;
    }
    if (answer.output.size() < 2) {
      c.err << "zarq7: APDU " << sim::t1::Hex(apdu)
            << " answered without a status word: " << sim::t1::Hex(answer.output) << "\n";
      code = 1;
      continue;
    }
    for (const std::string& line : ApduAnswerLines(answer.output)) c.out << line << "\n";
  }
  return code;
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
  c.out << ReaderLine(AttributeText(reader.GetAttribute(SCARD_ATTR_VENDOR_NAME)),
                      AttributeText(reader.GetAttribute(SCARD_ATTR_VENDOR_IFD_TYPE)),
                      AttributeUlong(reader.GetAttribute(SCARD_ATTR_VENDOR_IFD_VERSION)),
                      AttributeUlong(reader.GetAttribute(SCARD_ATTR_DEVICE_UNIT)), o.rate)
        << "\n";
  c.out << "card: " << CardStateName(reader.GetState()) << "\n";

  host::io::IoResult reset = reader.Power(SCARD_COLD_RESET);
  c.PrintTrace();
  if (!NT_SUCCESS(reset.status)) return StepFailed(c, "card reset", reset.status);
  if (reset.output.empty()) {
    c.err << "zarq7: card reset failed: no ATR came back\n";
    return 1;
  }
  c.out << "ATR: " << sim::t1::Hex(reset.output) << "\n";
  for (const std::string& line : ExplainAtr(reset.output)) c.out << "  " << line << "\n";

  ULONG mask = o.protocol == ProtocolChoice::kT1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
  host::io::IoResult protocol = reader.SetProtocol(mask);
  c.PrintTrace();
  if (!NT_SUCCESS(protocol.status)) {
    // The ATR says what the card offers; a refusal of a protocol it lacks is no mystery.
    if (std::optional<std::string> why =
            ProtocolNotOffered(reset.output, o.protocol == ProtocolChoice::kT1)) {
      c.PrintTrace();
      c.err << "zarq7: protocol selection failed: " << *why << ": "
            << host::io::StatusName(protocol.status) << "\n";
      return 1;
    }
    return StepFailed(c, "protocol selection", protocol.status);
  }
  c.out << "protocol: " << (reader.protocol() == SCARD_PROTOCOL_T1 ? "T=1" : "T=0") << "\n";
  return TransmitEach(c);
}

}  // namespace

int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err) {
  return RunOnMachine(options, out, err, Session);
}

}  // namespace tools
