#include "tools/session_runner.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "sim/cards/vpcd_bridge.h"
#include "sim/line_trace.h"
#include "sim/t1_block.h"
#include "tests/support/reader_session.h"
#include "tools/atr_explanation.h"
#include "tools/status_words.h"

namespace tools {

namespace {

constexpr std::chrono::seconds kViccConnectTimeout{30};
constexpr ULONG kAtrCapacity = 64;
constexpr ULONG kAnswerCapacity = 258;  // 256 bytes of data and the status word
constexpr ULONG kAttributeCapacity = 64;

std::string TimeText(host::kernel::Ticks t) {
  char text[32];
  std::snprintf(text, sizeof text, "%4lld.%06lld s",
                static_cast<long long>(t / host::kernel::kTicksPerSecond),
                static_cast<long long>(t % host::kernel::kTicksPerSecond /
                                       host::kernel::kTicksPerMicrosecond));
  return text;
}

const char* StateName(ULONG state) {
  switch (state) {
    case SCARD_ABSENT:
      return "no card";
    case SCARD_PRESENT:
      return "card present";
    case SCARD_SWALLOWED:
      return "card present, not powered";
    case SCARD_POWERED:
      return "card powered";
    case SCARD_NEGOTIABLE:
      return "card powered, protocol negotiable";
    case SCARD_SPECIFIC:
      return "card powered, protocol selected";
    default:
      return "unknown";
  }
}

std::string AttributeText(const test_support::ControlResult& r) {
  if (!NT_SUCCESS(r.status)) return "?";
  std::string text(r.output.begin(), r.output.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

class Session {
 public:
  Session(const SessionOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}

  int Run(host::kernel::Kernel& kernel, host::io::IoManager& io,
          std::shared_ptr<sim::Card> custom_card) {
    test_support::ReaderSessionOptions session_options;
    switch (options_.card) {
      case CardChoice::kBuiltin:
        session_options.card = test_support::SimCardKind::kBuiltin;
        break;
      case CardChoice::kT0Only:
        session_options.card = test_support::SimCardKind::kT0Only;
        break;
      case CardChoice::kNone:
        session_options.card = test_support::SimCardKind::kNone;
        break;
      case CardChoice::kVicc:
        session_options.card = test_support::SimCardKind::kCustom;
        session_options.custom_card = std::move(custom_card);
        break;
    }
    session_options.line_seed = options_.seed;
    session_options.reader = options_.reader_profile.options;
    session_options.faults = options_.faults;
    test_support::ReaderSession session(kernel, io, session_options);
    session_ = &session;
    int code = Steps();
    PrintTrace();
    session_ = nullptr;
    return code;
  }

 private:
  int Fail(const std::string& what, NTSTATUS status) {
    PrintTrace();
    err_ << "zarq7: " << what << " failed: " << host::io::StatusName(status) << "\n";
    return 1;
  }

  int Steps() {
    test_support::ReaderSession& s = *session_;
    NTSTATUS status = s.Start();
    if (!NT_SUCCESS(status)) return Fail("link bring-up", status);
    if (options_.rate != kDefaultRate) {
      status = s.SwitchRate(options_.rate);
      if (!NT_SUCCESS(status)) return Fail("rate switch", status);
    }
    PrintTrace();
    if (options_.silent_reader) {
      host::kernel::Kernel& kernel = host::kernel::Kernel::Current();
      s.rig().line().reader_end().faults().Silence(kernel.Now(), host::kernel::kNoDeadline);
    }
    ULONG version = s.GetAttribute(SCARD_ATTR_VENDOR_IFD_VERSION).Ulong();
    char version_text[32];
    std::snprintf(version_text, sizeof version_text, "%u.%02X build %u", version >> 24,
                  (version >> 16) & 0xFF, version & 0xFFFF);
    out_ << "reader: " << AttributeText(s.GetAttribute(SCARD_ATTR_VENDOR_NAME, kAttributeCapacity))
         << " " << AttributeText(s.GetAttribute(SCARD_ATTR_VENDOR_IFD_TYPE, kAttributeCapacity))
         << ", version " << version_text << ", link up at " << options_.rate << " bit/s\n";
    out_ << "card: " << StateName(s.State()) << "\n";

    test_support::ControlResult reset = s.Power(SCARD_COLD_RESET, kAtrCapacity);
    PrintTrace();
    if (!NT_SUCCESS(reset.status)) return Fail("card reset", reset.status);
    if (reset.output.empty()) {
      err_ << "zarq7: card reset failed: no ATR came back\n";
      return 1;
    }
    out_ << "ATR: " << sim::t1::Hex(reset.output) << "\n";
    for (const std::string& line : ExplainAtr(reset.output)) out_ << "  " << line << "\n";

    ULONG mask = options_.protocol == ProtocolChoice::kT1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    test_support::ControlResult protocol = s.SetProtocol(mask);
    PrintTrace();
    if (!NT_SUCCESS(protocol.status)) return Fail("protocol selection", protocol.status);
    out_ << "protocol: " << (protocol.Ulong() == SCARD_PROTOCOL_T1 ? "T=1" : "T=0") << "\n";

    int code = 0;
    for (const std::vector<uint8_t>& apdu : options_.apdus) {
      out_ << "> " << sim::t1::Hex(apdu) << "\n";
      test_support::ControlResult answer = s.Transmit(apdu, kAnswerCapacity);
      PrintTrace();
      if (!NT_SUCCESS(answer.status)) {
        err_ << "zarq7: APDU " << sim::t1::Hex(apdu)
             << " failed: " << host::io::StatusName(answer.status) << "\n";
        code = 1;
        continue;
      }
      if (answer.output.size() < 2) {
        err_ << "zarq7: APDU " << sim::t1::Hex(apdu)
             << " answered without a status word: " << sim::t1::Hex(answer.output) << "\n";
        code = 1;
        continue;
      }
      uint8_t sw1 = answer.output[answer.output.size() - 2];
      uint8_t sw2 = answer.output.back();
      std::span<const uint8_t> data(answer.output.data(), answer.output.size() - 2);
      if (!data.empty()) out_ << "< " << sim::t1::Hex(data) << "\n";
      char sw[8];
      std::snprintf(sw, sizeof sw, "%02X %02X", sw1, sw2);
      out_ << "< " << sw << "  " << ExplainStatusWord(sw1, sw2) << "\n";
    }
    return code;
  }

  // The blocks on the line since the last call, with the time of their first character.
  void PrintTrace() {
    if (!options_.trace || session_ == nullptr) return;
    std::vector<sim::DecodedBlock> blocks = session_->trace().Blocks();
    for (; printed_ < blocks.size(); ++printed_) {
      out_ << "  [" << TimeText(blocks[printed_].first) << "] "
           << sim::DescribeBlock(blocks[printed_]) << "\n";
    }
  }

  const SessionOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  test_support::ReaderSession* session_ = nullptr;
  size_t printed_ = 0;
};

}  // namespace

int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err) {
  std::shared_ptr<sim::Card> vicc;
  host::kernel::KernelOptions kernel_options;
  kernel_options.seed = options.seed;
  if (options.card == CardChoice::kVicc) {
    // The emulator keeps its own time, so the machine runs in real time.
    kernel_options.mode = host::kernel::Mode::kReal;
    std::string error;
    auto cannot = [&] {
      err << "zarq7: no vicc on 127.0.0.1:" << options.vicc_port << ": " << error << "\n";
      return 1;
    };
    std::unique_ptr<sim::VpcdBridge> bridge = sim::VpcdBridge::Listen(options.vicc_port, &error);
    if (!bridge) return cannot();
    out << "waiting for vicc on 127.0.0.1:" << bridge->port()
        << " (for example: vicc --type iso7816 --hostname 127.0.0.1 --port " << bridge->port()
        << ")\n";
    out.flush();
    if (!bridge->WaitForConnection(kViccConnectTimeout)) {
      error = "no emulator connected within 30 s";
      return cannot();
    }
    vicc = std::move(bridge);
  }
  host::kernel::Kernel kernel(kernel_options);
  host::io::IoManager io(kernel);
  host::smclib::SmartcardLibrary library(kernel);
  int code = 1;
  Session session(options, out, err);
  host::kernel::RunResult result = kernel.Run([&] { code = session.Run(kernel, io, vicc); });
  if (!result.ok()) {
    err << "zarq7: the machine stopped: " << result.report << "\n";
    return 1;
  }
  return code;
}

}  // namespace tools
