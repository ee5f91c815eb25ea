// Bytes as people type them: "00 A4 04 00", "00a40400" or "00:A4:04:00".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// Pairs of hex digits, optionally separated by spaces or colons. False and *error (one line) for
// anything else: a stray character, an odd digit, no bytes at all.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace tools
