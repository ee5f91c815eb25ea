#include "sim/text_values.h"

#include <charconv>
#include <cmath>

namespace sim::text {

using host::kernel::Ticks;

namespace {

constexpr struct {
  const char* suffix;
  Ticks ticks;
} kUnits[] = {{"us", host::kernel::kTicksPerMicrosecond},
              {"ms", host::kernel::kTicksPerMillisecond},
              {"s", host::kernel::kTicksPerSecond}};

template <typename T>
bool ParseWhole(const std::string& text, T* value, int base = 10) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool ParseDuration(const std::string& text, Ticks* value) {
  // "ms" before "s": the longer suffix is tried first.
  for (const auto* unit = std::end(kUnits); unit != std::begin(kUnits);) {
    --unit;
    if (!EndsWith(text, unit->suffix)) continue;
    std::string number = text.substr(0, text.size() - std::string(unit->suffix).size());
    if (number.back() == 'm' || number.back() == 'u') continue;  // "ms" read as "s"
    double amount;
    if (!ParseDouble(number, &amount) || amount < 0) return false;
    *value = Ticks(std::llround(amount * double(unit->ticks)));
    return true;
  }
  return false;
}

std::string FormatDuration(Ticks value) {
  for (const auto* unit = std::end(kUnits); unit != std::begin(kUnits);) {
    --unit;
    if (value % unit->ticks == 0) return std::to_string(value / unit->ticks) + unit->suffix;
  }
  return std::to_string(double(value) / double(host::kernel::kTicksPerMicrosecond)) + "us";
}

bool ParseUnsigned(const std::string& text, uint64_t* value) { return ParseWhole(text, value); }

bool ParseSigned(const std::string& text, int64_t* value) {
  return ParseWhole(text[0] == '+' ? text.substr(1) : text, value);
}

bool ParseDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseHexWord(const std::string& text, uint16_t* value) {
  return text.size() == 4 && ParseWhole(text, value, 16);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (;;) {
    size_t end = text.find(separator, begin);
    parts.push_back(text.substr(begin, end - begin));
    if (end == std::string::npos) return parts;
    begin = end + 1;
  }
}

}  // namespace sim::text
