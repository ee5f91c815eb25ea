#include "tools/atr_explanation.h"

#include <cstdio>
#include <optional>

#include "host/smclib/atr.h"
#include "sim/t1_block.h"
#include "tools/historical_bytes.h"

namespace tools {

namespace {

constexpr uint8_t kTaPresent = 0x10;
constexpr uint8_t kTbPresent = 0x20;
constexpr uint8_t kTcPresent = 0x40;
constexpr uint8_t kTdPresent = 0x80;
constexpr uint8_t kLowNibble = 0x0F;
constexpr uint8_t kProtocolT1 = 1;

// An interface byte that is there: its name ("TA3") and value.
struct Present {
  std::string name;
  uint8_t value;
};

// The interface bytes whose values the explanation gives, where the ATR carries them.
struct InterfaceBytes {
  std::optional<Present> ta1, tc1, tc2;
  // The first TA, TB and TC of a group that a TD for T=1 introduced.
  std::optional<Present> t1_ta, t1_tb, t1_tc;
};

// Walks the interface bytes of an ATR that has already been parsed as well formed.
InterfaceBytes FindInterfaceBytes(std::span<const uint8_t> atr) {
  InterfaceBytes found;
  size_t at = 1;  // T0
  uint8_t indicator = atr[at++];
  uint8_t protocol = 0;  // that the TD before the group being read names
  for (int group = 1; at <= atr.size(); ++group) {
    std::optional<Present> ta, tb, tc;
    std::string index = std::to_string(group);
    if (indicator & kTaPresent) ta = Present{"TA" + index, atr[at++]};
    if (indicator & kTbPresent) tb = Present{"TB" + index, atr[at++]};
    if (indicator & kTcPresent) tc = Present{"TC" + index, atr[at++]};
    if (group == 1) {
      found.ta1 = ta;
      found.tc1 = tc;
    } else if (group == 2) {
      found.tc2 = tc;
    } else if (group > 2 && protocol == kProtocolT1) {
      if (!found.t1_ta) found.t1_ta = ta;
      if (!found.t1_tb) found.t1_tb = tb;
      if (!found.t1_tc) found.t1_tc = tc;
    }
    if (!(indicator & kTdPresent) || at >= atr.size()) break;
    indicator = atr[at++];
    protocol = indicator & kLowNibble;
  }
  return found;
}

std::string Byte(const char* name, uint8_t value) {
  char hex[4];
  std::snprintf(hex, sizeof hex, "%02X", value);
  return std::string(name) + " " + hex;
}

// "(TA1 11)" for a value read from a byte, "(default: no TA1)" for one taken as its default.
std::string Source(const std::optional<Present>& byte, const char* absent) {
  return byte ? " (" + Byte(byte->name.c_str(), byte->value) + ")"
              : std::string(" (default: no ") + absent + ")";
}

}  // namespace

std::vector<std::string> ExplainAtr(std::span<const uint8_t> bytes) {
  std::optional<host::smclib::Atr> atr = host::smclib::ParseAtr(bytes);
  if (!atr) return {"not a well-formed ISO 7816-3 answer to reset"};
  InterfaceBytes found = FindInterfaceBytes(bytes);
  std::vector<std::string> lines;
  lines.push_back(std::string(atr->inverse_convention ? "inverse" : "direct") + " convention" +
                  " (" + Byte("TS", bytes[0]) + ")");
  std::string protocols;
  if (atr->offers_t0) protocols += "T=0";
  if (atr->offers_t1) protocols += protocols.empty() ? "T=1" : ", T=1";
  if (protocols.empty()) protocols = "none";
  lines.push_back("protocols offered: " + protocols +
                  (atr->specific_mode ? " (specific mode: the card runs only this one)" : ""));
  lines.push_back("clock rate conversion F " +
                  std::to_string(host::smclib::ClockRateConversionFactor(atr->fi)) +
                  ", bit rate adjustment D " +
                  std::to_string(host::smclib::BitRateAdjustmentFactor(atr->di)) +
                  Source(found.ta1, "TA1"));
  lines.push_back("extra guard time N " + std::to_string(atr->n) + Source(found.tc1, "TC1"));
  if (atr->offers_t0) {
    lines.push_back("T=0 waiting integer WI " + std::to_string(atr->wi) + Source(found.tc2, "TC2"));
  }
  if (atr->offers_t1) {
    lines.push_back("T=1 IFSC " + std::to_string(atr->ifsc) + Source(found.t1_ta, "TA for T=1"));
    lines.push_back("T=1 BWI " + std::to_string(atr->bwi) + ", CWI " + std::to_string(atr->cwi) +
                    Source(found.t1_tb, "TB for T=1"));
    lines.push_back(std::string("T=1 check ") + (atr->edc ? "CRC" : "LRC") +
                    Source(found.t1_tc, "TC for T=1"));
  }
  if (atr->historical.empty()) {
    lines.push_back("historical bytes: none");
  } else {
    lines.push_back("historical bytes: " + sim::t1::Hex(atr->historical));
    for (const std::string& line : ExplainHistoricalBytes(atr->historical)) {
      lines.push_back("  " + line);
    }
  }
  lines.push_back(atr->has_tck ? Byte("check byte TCK", bytes.back()) + " correct"
                               : "no check byte (T=0 only)");
  return lines;
}

}  // namespace tools
