// The operands after a command word, read alike by the host tool's command line and the Windows
// build's: APDUs for a session, reader commands for raw, one word or number for usb, reading,
// purge and vendor, none for status. Each build's options structure has its own command enum,
// with these commands under the same names, and the same operand members.
#pragma once

#include <optional>
#include <string>

#include "tools/operands.h"

namespace tools {

template <typename Options>
class CommandOperands {
 public:
  // `commands`: the command words the build knows, for the message when a mistyped command was
  // taken for an APDU.
  CommandOperands(Options& options, const char* commands) : o_(options), commands_(commands) {}

  // One operand; the error for an operand the command refuses. Commands with operands of their
  // own (the host's watch events) are read by the caller before it comes here.
  std::optional<std::string> Take(const std::string& text) {
    using Command = decltype(o_.command);
    std::optional<std::string> error;
    switch (o_.command) {
      case Command::kSession:
        error = ParseApdu(text, &o_.apdus);
        if (error && LooksLikeAWord(text)) {
          error = "'" + text + "' is neither a command (" + commands_ +
                  ") nor an APDU in hex (see --help)";
        }
        return error;
      case Command::kRaw:
        raw_text_ += (raw_text_.empty() ? "" : " ") + text;
        return std::nullopt;
      case Command::kStatus:
        return "status takes no operand, not '" + text + "'";
      default:
        break;
    }
    if (single_seen_) return "unexpected operand '" + text + "' (see --help)";
    single_seen_ = true;
    switch (o_.command) {
      case Command::kUsb:
        return ParseSetting(text, &o_.setting);
      case Command::kReading:
        return ParseReading(text, &o_.reading);
      case Command::kPurge:
        return ParsePurge(text, &o_.purge);
      case Command::kVendor:
        return ParseVendorTag(text, &o_.vendor_tag);
      default:
        return "unexpected operand '" + text + "' (see --help)";
    }
  }

  // Once every operand is in: what a command lacks, and raw's commands read as a whole (spaces
  // inside a command, commas between commands).
  std::optional<std::string> Finish() {
    using Command = decltype(o_.command);
    if (o_.command == Command::kReading && !o_.reading) {
      return "reading needs on, off, stop or start";
    }
    if (o_.command == Command::kRaw) {
      if (raw_text_.empty()) return "raw needs a reader command in hex, such as 20 13 00 80 00";
      return ParseRawCommands(raw_text_, &o_.raw_commands);
    }
    return std::nullopt;
  }

 private:
  Options& o_;
  const char* commands_;
  std::string raw_text_;
  bool single_seen_ = false;
};

}  // namespace tools
