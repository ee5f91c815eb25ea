// Values in the text forms of reader profiles and fault scripts: durations ("250ms", "1.5s",
// "800us"), numbers, hex status words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"

namespace sim::text {

bool ParseDuration(const std::string& text, host::kernel::Ticks* value);
// The shortest exact form: "250ms", "4s", "1250us".
std::string FormatDuration(host::kernel::Ticks value);
bool ParseUnsigned(const std::string& text, uint64_t* value);
bool ParseSigned(const std::string& text, int64_t* value);
bool ParseDouble(const std::string& text, double* value);
// Two hex digits per byte, no spaces: "6A82".
bool ParseHexWord(const std::string& text, uint16_t* value);
std::vector<std::string> Split(const std::string& text, char separator);

}  // namespace sim::text
