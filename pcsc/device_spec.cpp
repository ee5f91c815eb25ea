#include "pcsc/device_spec.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace pcsc {

namespace {

constexpr std::array<std::pair<CardKind, std::string_view>, 4> kCardNames = {{
    {CardKind::kBuiltin, "builtin"},
    {CardKind::kT0Only, "t0"},
    {CardKind::kNone, "none"},
    {CardKind::kVicc, "vicc"},
}};
constexpr std::array<uint32_t, 6> kReaderRates = {9600, 19200, 28800, 38400, 57600, 115200};
constexpr std::string_view kPrefix = "zarq7:";
// pcscd's configuration takes commas and equal signs only in a quoted value, and passes the
// quotes on.
constexpr char kQuote = '"';
constexpr char kSeparator = ',';
constexpr char kAssign = '=';

template <class T>
bool ParseNumber(std::string_view text, T* value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string_view CardKindName(CardKind kind) {
  for (const auto& [known, name] : kCardNames) {
    if (known == kind) return name;
  }
  return "?";
}

std::optional<CardKind> CardKindFromName(std::string_view name) {
  for (const auto& [kind, known] : kCardNames) {
    if (known == name) return kind;
  }
  return std::nullopt;
}

std::optional<DeviceSpec> ParseDeviceName(std::string_view name, std::string* error) {
  DeviceSpec spec;
  std::string_view rest = name;
  if (rest.size() >= 2 && rest.front() == kQuote && rest.back() == kQuote) {
    rest = rest.substr(1, rest.size() - 2);
  }
  // The name as written in the configuration, in quotes of its own (not pcscd's as well).
  std::string unquoted(rest);
  auto fail = [&](std::string why) -> std::optional<DeviceSpec> {
    *error =
        "device name \"" + unquoted + "\": " + why +
        " (expected [zarq7:]builtin|t0|none|vicc[,rate=BPS][,seed=N][,port=PORT][,control=PATH])";
    return std::nullopt;
  };
  if (rest.substr(0, kPrefix.size()) == kPrefix) rest.remove_prefix(kPrefix.size());
  size_t comma = rest.find(kSeparator);
  std::optional<CardKind> kind = CardKindFromName(rest.substr(0, comma));
  if (!kind) return fail("unknown card \"" + std::string(rest.substr(0, comma)) + "\"");
  spec.card = *kind;
  bool have_port = false;
  while (comma != std::string_view::npos) {
    rest = rest.substr(comma + 1);
    comma = rest.find(kSeparator);
    std::string_view option = rest.substr(0, comma);
    size_t assign = option.find(kAssign);
    if (assign == std::string_view::npos) return fail("option without a value");
    std::string_view key = option.substr(0, assign);
    std::string_view value = option.substr(assign + 1);
    if (key == "rate") {
      if (!ParseNumber(value, &spec.rate) ||
          std::find(kReaderRates.begin(), kReaderRates.end(), spec.rate) == kReaderRates.end()) {
        return fail("the reader has no rate " + std::string(value));
      }
    } else if (key == "seed") {
      if (!ParseNumber(value, &spec.seed)) return fail("seed is not a number");
    } else if (key == "port") {
      if (!ParseNumber(value, &spec.vicc_port) || spec.vicc_port == 0) {
        return fail("port is not a port number");
      }
      have_port = true;
    } else if (key == "control") {
      if (value.empty()) return fail("empty control path");
      spec.control_path = value;
    } else {
      return fail("unknown option \"" + std::string(key) + "\"");
    }
  }
  if (spec.card == CardKind::kVicc && !have_port) return fail("vicc needs port=");
  if (spec.card != CardKind::kVicc && have_port) return fail("port= is for vicc only");
  return spec;
}

}  // namespace pcsc
