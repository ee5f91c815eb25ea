// The operands the zarq7 tool's commands take, read alike by the host's command line and the
// Windows build's: APDUs and reader commands in hex, the usb setting, the reading and purge
// choices, the vendor attribute tag, a time in seconds. Each returns the one-line error for
// input it refuses.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"

namespace tools {

enum class ReadingChoice { kOn, kOff, kStop, kStart };
enum class PurgeChoice { kBoth, kTransmit, kReceive };

// A short command APDU: header, Lc, 255 bytes of data, Le.
inline constexpr size_t kMaxApduLength = 261;
inline constexpr size_t kMinApduLength = 4;
// A raw reader command: class and instruction at least, the driver's command buffer at most.
inline constexpr size_t kMinRawCommandLength = 2;
inline constexpr size_t kMaxRawCommandLength = 512;
// The attribute the vendor request goes out as: a tag of the vendor-defined class (7).
inline constexpr uint32_t kVendorAttributeClass = 7;
inline constexpr uint32_t kDefaultVendorTag = 0x7A000;
// Longest watch, and latest scripted event, in seconds: a day.
inline constexpr double kLongestWatch = 86400;

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Seconds, as "2", "2.5" or "0.125", from 0 to a day, into ticks.
bool ParseSeconds(const std::string& text, host::kernel::Ticks* ticks);

// A mistyped command rather than a mistyped APDU: a word without a digit.
bool LooksLikeAWord(const std::string& text);

std::optional<std::string> ParseApdu(const std::string& text,
                                     std::vector<std::vector<uint8_t>>* apdus);
// The raw operands together: commands separated by commas, each in hex (spaces allowed, so that
// "raw 20 13 00 80 00" is one command).
std::optional<std::string> ParseRawCommands(const std::string& text,
                                            std::vector<std::vector<uint8_t>>* commands);
std::optional<std::string> ParseSetting(const std::string& text, std::optional<uint8_t>* setting);
std::optional<std::string> ParseReading(const std::string& text,
                                        std::optional<ReadingChoice>* reading);
std::optional<std::string> ParsePurge(const std::string& text, PurgeChoice* purge);
std::optional<std::string> ParseVendorTag(const std::string& text, uint32_t* tag);

}  // namespace tools
