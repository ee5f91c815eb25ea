#include "tools/operands.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "tools/hex_text.h"

namespace tools {

namespace {

constexpr uint8_t kLargestSetting = 255;
constexpr uint32_t kAttributeClassShift = 16;

std::optional<std::string> ParseRawCommand(const std::string& text,
                                           std::vector<std::vector<uint8_t>>* commands) {
  std::vector<uint8_t> command;
  std::string error;
  if (!ParseHexBytes(text, &command, &error)) return "reader command " + error;
  if (command.size() < kMinRawCommandLength) {
    return "reader command '" + text + "' is too short: class and instruction at least";
  }
  if (command.size() > kMaxRawCommandLength) {
    return "reader command '" + text + "' is too long: " + std::to_string(command.size()) +
           " bytes, at most 512";
  }
  commands->push_back(std::move(command));
  return std::nullopt;
}

}  // namespace

bool ParseSeconds(const std::string& text, host::kernel::Ticks* ticks) {
  double seconds = 0;
  if (!ParseNumber(text, &seconds) || !std::isfinite(seconds) || seconds < 0 ||
      seconds > kLongestWatch) {
    return false;
  }
  *ticks = host::kernel::Ticks(std::llround(seconds * double(host::kernel::kTicksPerSecond)));
  return true;
}

bool LooksLikeAWord(const std::string& text) {
  auto letter = [](char ch) { return std::isalpha(static_cast<unsigned char>(ch)) != 0; };
  auto digit = [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; };
  return std::any_of(text.begin(), text.end(), letter) &&
         std::none_of(text.begin(), text.end(), digit);
}

std::optional<std::string> ParseApdu(const std::string& text,
                                     std::vector<std::vector<uint8_t>>* apdus) {
  std::vector<uint8_t> apdu;
  std::string error;
  if (!ParseHexBytes(text, &apdu, &error)) return "APDU " + error;
  if (apdu.size() < kMinApduLength) {
    return "APDU '" + text + "' is too short: a command has at least 4 bytes";
  }
  if (apdu.size() > kMaxApduLength) {
    return "APDU '" + text + "' is too long: " + std::to_string(apdu.size()) +
           " bytes, at most 261";
  }
  apdus->push_back(std::move(apdu));
  return std::nullopt;
}

std::optional<std::string> ParseRawCommands(const std::string& text,
                                            std::vector<std::vector<uint8_t>>* commands) {
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string piece = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (std::optional<std::string> error = ParseRawCommand(piece, commands)) return error;
    if (comma == std::string::npos) return std::nullopt;
    start = comma + 1;
  }
}

std::optional<std::string> ParseSetting(const std::string& text, std::optional<uint8_t>* setting) {
  unsigned value = 0;
  if (!ParseNumber(text, &value) || value > kLargestSetting) {
    return "usb takes an alternate setting from 0 to 255, not '" + text + "'";
  }
  *setting = uint8_t(value);
  return std::nullopt;
}

std::optional<std::string> ParseReading(const std::string& text,
                                        std::optional<ReadingChoice>* reading) {
  if (text == "on")
    *reading = ReadingChoice::kOn;
  else if (text == "off")
    *reading = ReadingChoice::kOff;
  else if (text == "stop")
    *reading = ReadingChoice::kStop;
  else if (text == "start")
    *reading = ReadingChoice::kStart;
  else
    return "reading takes on, off, stop or start, not '" + text + "'";
  return std::nullopt;
}

std::optional<std::string> ParsePurge(const std::string& text, PurgeChoice* purge) {
  if (text == "transmit")
    *purge = PurgeChoice::kTransmit;
  else if (text == "receive")
    *purge = PurgeChoice::kReceive;
  else
    return "purge takes transmit or receive (both when none), not '" + text + "'";
  return std::nullopt;
}

std::optional<std::string> ParseVendorTag(const std::string& text, uint32_t* tag) {
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size() ||
      value >> kAttributeClassShift != kVendorAttributeClass) {
    return "vendor takes an attribute tag of the vendor-defined class, 70000 to 7FFFF (hex)";
  }
  *tag = value;
  return std::nullopt;
}

}  // namespace tools
