#include "tools/session_text.h"

#include <cstdio>
#include <cstring>

#include "host/smclib/atr.h"
#include "platform/usb.h"
#include "sim/t1_block.h"
#include "tools/reader_answer.h"
#include "tools/status_words.h"

namespace tools {

namespace {

// IFD version: major in the top byte, minor in the next, build number below.
constexpr int kVersionMajorShift = 24;
constexpr int kVersionMinorShift = 16;
constexpr uint32_t kVersionByteMask = 0xFF;
constexpr uint32_t kVersionBuildMask = 0xFFFF;

std::string VersionText(std::optional<uint32_t> version) {
  if (!version) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%u.%02X build %u", *version >> kVersionMajorShift,
                (*version >> kVersionMinorShift) & kVersionByteMask, *version & kVersionBuildMask);
  return text;
}

std::string OfferedProtocols(const host::smclib::Atr& atr) {
  if (atr.offers_t0 && atr.offers_t1) return "T=0 and T=1";
  if (atr.offers_t0) return "only T=0";
  if (atr.offers_t1) return "only T=1";
  return "neither T=0 nor T=1";
}

std::string StatusWordText(uint8_t sw1, uint8_t sw2) {
  char sw[8];
  std::snprintf(sw, sizeof sw, "%02X %02X", sw1, sw2);
  return sw;
}

}  // namespace

std::string AttributeText(std::span<const uint8_t> bytes) {
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::optional<uint32_t> AttributeUlong(std::span<const uint8_t> bytes) {
  uint32_t value = 0;
  if (bytes.size() != sizeof value) return std::nullopt;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

std::string ReaderLine(const std::optional<std::string>& vendor,
                       const std::optional<std::string>& type, std::optional<uint32_t> version,
                       std::optional<uint32_t> unit, uint32_t rate) {
  return "reader: " + vendor.value_or("?") + " " + type.value_or("?") + ", version " +
         VersionText(version) + ", unit " + (unit ? std::to_string(*unit) : "?") + ", line " +
         std::to_string(rate) + " bit/s";
}

std::optional<std::string> ProtocolNotOffered(std::span<const uint8_t> atr_bytes, bool wanted_t1) {
  std::optional<host::smclib::Atr> atr = host::smclib::ParseAtr(atr_bytes);
  if (!atr || (wanted_t1 ? atr->offers_t1 : atr->offers_t0)) return std::nullopt;
  return std::string("the card's ATR does not offer ") + (wanted_t1 ? "T=1" : "T=0") +
         " (it offers " + OfferedProtocols(*atr) + "; try --protocol " + (wanted_t1 ? "t0" : "t1") +
         ")";
}

std::string CommandLineText(std::span<const uint8_t> command) {
  return "> " + sim::t1::Hex(command);
}

std::string ReaderCommandLineText(std::span<const uint8_t> command) {
  std::optional<std::string> name = ReaderCommandName(command);
  return CommandLineText(command) + "  " + (name ? *name : "(not a known reader command)");
}

std::vector<std::string> ApduAnswerLines(std::span<const uint8_t> answer) {
  std::vector<std::string> lines;
  if (answer.size() < 2) return lines;
  uint8_t sw1 = answer[answer.size() - 2];
  uint8_t sw2 = answer.back();
  std::span<const uint8_t> data = answer.first(answer.size() - 2);
  if (!data.empty()) lines.push_back("< " + sim::t1::Hex(data));
  lines.push_back("< " + StatusWordText(sw1, sw2) + "  " + ExplainStatusWord(sw1, sw2));
  return lines;
}

std::vector<std::string> ReaderAnswerLines(std::span<const uint8_t> command,
                                           std::span<const uint8_t> answer) {
  std::vector<std::string> lines;
  if (answer.size() < 2) return lines;
  size_t data = answer.size() - 2;
  for (const std::string& line : DescribeReaderData(command, answer.first(data))) {
    lines.push_back("< " + line);
  }
  uint8_t sw1 = answer[data], sw2 = answer[data + 1];
  lines.push_back("< " + StatusWordText(sw1, sw2) + "  " + ExplainReaderStatusWord(sw1, sw2));
  return lines;
}

std::vector<std::string> PipeTableLines(const std::vector<PipeInfo>& pipes) {
  std::vector<std::string> lines;
  lines.push_back("pipe table (the driver's): " + std::to_string(pipes.size()) + " pipes");
  for (const PipeInfo& p : pipes) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "  %-8s EP 0x%02x %-3s  %-9s  interval %3u ms  max packet %u  max transfer %u",
                  p.name.c_str(), p.endpoint,
                  p.endpoint & USB_ENDPOINT_DIRECTION_MASK ? "IN" : "OUT",
                  PipeTypeName(p.type).c_str(), p.interval, p.max_packet, p.max_transfer);
    lines.push_back(line);
  }
  return lines;
}

std::string SettingInUseLine(const InterfaceSetting& setting) {
  return "interface setting in use: interface " + std::to_string(setting.interface_number) +
         ", alternate setting " + std::to_string(setting.alternate_setting);
}

std::string SelectedSettingLine(unsigned asked, const InterfaceSetting& selected) {
  if (selected.alternate_setting == asked) {
    return "selected alternate setting " + std::to_string(asked) + " of interface 0";
  }
  return "asked for alternate setting " + std::to_string(asked) +
         " of interface 0; the driver selected setting " +
         std::to_string(selected.alternate_setting) + " instead" +
         (selected.alternate_setting == 0
              ? " (it selects setting 0 when asked for one the converter does not have)"
              : "");
}

std::string ReadingStateLine(uint16_t thread, uint16_t read_buffer_size) {
  return std::string("reading thread: ") + (thread ? "running" : "none") + ", read buffer " +
         std::to_string(read_buffer_size) + " bytes";
}

std::string VendorTagText(uint32_t tag) {
  char text[16];
  std::snprintf(text, sizeof text, "%05X", tag);
  return text;
}

std::string VendorLine(uint32_t tag, std::span<const uint8_t> answer) {
  return "vendor request (attribute " + VendorTagText(tag) + "): \"" + AttributeText(answer) +
         "\", " + std::to_string(answer.size()) + " bytes";
}

std::string TimeText(host::kernel::Ticks t) {
  char text[32];
  std::snprintf(text, sizeof text, "%4lld.%06lld s",
                static_cast<long long>(t / host::kernel::kTicksPerSecond),
                static_cast<long long>(t % host::kernel::kTicksPerSecond /
                                       host::kernel::kTicksPerMicrosecond));
  return text;
}

// Appended piece by piece: GCC 12 at -O3 takes "[" + a temporary string for an overlapping copy.
std::string WatchLine(host::kernel::Ticks t, const std::string& what) {
  std::string line = "[";
  line += TimeText(t);
  line += "] ";
  line += what;
  return line;
}

std::string CardPresenceText(bool present) { return present ? "card present" : "no card"; }

std::string CardChangeText(bool present) { return present ? "card inserted" : "card removed"; }

std::string CardUnchangedText(bool present) {
  return std::string("the request completed, the card is still ") +
         (present ? "present" : "absent");
}

}  // namespace tools
