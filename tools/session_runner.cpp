#include "tools/session_runner.h"

#include <cstdio>
#include <string>

#include "host/io/io_manager.h"
#include "host/smclib/atr.h"
#include "sim/t1_block.h"
#include "tools/atr_explanation.h"
#include "tools/card_state.h"
#include "tools/status_words.h"
#include "tools/timing_report.h"
#include "tools/tool_machine.h"

namespace tools {

namespace {

using host::machine::OutputText;
using host::machine::OutputUlong;

// IFD version: major in the top byte, minor in the next, build number below.
constexpr int kVersionMajorShift = 24;
constexpr int kVersionMinorShift = 16;
constexpr ULONG kVersionByteMask = 0xFF;
constexpr ULONG kVersionBuildMask = 0xFFFF;

std::string VersionText(std::optional<ULONG> version) {
  if (!version) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%u.%02X build %u", *version >> kVersionMajorShift,
                (*version >> kVersionMinorShift) & kVersionByteMask, *version & kVersionBuildMask);
  return text;
}

std::string AttributeText(const host::io::IoResult& r) {
  return NT_SUCCESS(r.status) ? OutputText(r) : "?";
}

std::string OfferedProtocols(const host::smclib::Atr& atr) {
  if (atr.offers_t0 && atr.offers_t1) return "T=0 and T=1";
  if (atr.offers_t0) return "only T=0";
  if (atr.offers_t1) return "only T=1";
  return "neither T=0 nor T=1";
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
    c.out << "> " << sim::t1::Hex(apdu) << "\n";
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
    uint8_t sw1 = answer.output[answer.output.size() - 2];
    uint8_t sw2 = answer.output.back();
    std::span<const uint8_t> data(answer.output.data(), answer.output.size() - 2);
    if (!data.empty()) c.out << "< " << sim::t1::Hex(data) << "\n";
    char sw[8];
    std::snprintf(sw, sizeof sw, "%02X %02X", sw1, sw2);
    c.out << "< " << sw << "  " << ExplainStatusWord(sw1, sw2) << "\n";
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
  std::optional<ULONG> unit = OutputUlong(reader.GetAttribute(SCARD_ATTR_DEVICE_UNIT));
  c.out << "reader: " << AttributeText(reader.GetAttribute(SCARD_ATTR_VENDOR_NAME)) << " "
        << AttributeText(reader.GetAttribute(SCARD_ATTR_VENDOR_IFD_TYPE)) << ", version "
        << VersionText(OutputUlong(reader.GetAttribute(SCARD_ATTR_VENDOR_IFD_VERSION))) << ", unit "
        << (unit ? std::to_string(*unit) : "?") << ", line " << o.rate << " bit/s\n";
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
    std::optional<host::smclib::Atr> atr = host::smclib::ParseAtr(reset.output);
    bool offered = atr && (o.protocol == ProtocolChoice::kT1 ? atr->offers_t1 : atr->offers_t0);
    if (atr && !offered) {
      const char* wanted = o.protocol == ProtocolChoice::kT1 ? "T=1" : "T=0";
      const char* other = o.protocol == ProtocolChoice::kT1 ? "t0" : "t1";
      c.PrintTrace();
      c.err << "zarq7: protocol selection failed: the card's ATR does not offer " << wanted
            << " (it offers " << OfferedProtocols(*atr) << "; try --protocol " << other
            << "): " << host::io::StatusName(protocol.status) << "\n";
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
