#include "tools/atr_explanation.h"

#include "host/smclib/atr.h"
#include "sim/t1_block.h"

namespace tools {

std::vector<std::string> ExplainAtr(std::span<const uint8_t> bytes) {
  std::optional<host::smclib::Atr> atr = host::smclib::ParseAtr(bytes);
  if (!atr) return {"not a well-formed ISO 7816-3 answer to reset"};
  std::vector<std::string> lines;
  lines.push_back(atr->inverse_convention ? "inverse convention" : "direct convention");
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
                  ", extra guard time N " + std::to_string(atr->n));
  if (atr->offers_t0) lines.push_back("T=0 waiting integer WI " + std::to_string(atr->wi));
  if (atr->offers_t1) {
    lines.push_back("T=1 IFSC " + std::to_string(atr->ifsc) + ", BWI " + std::to_string(atr->bwi) +
                    ", CWI " + std::to_string(atr->cwi) + ", " + (atr->edc ? "CRC" : "LRC"));
  }
  lines.push_back("historical bytes: " +
                  (atr->historical.empty() ? std::string("none") : sim::t1::Hex(atr->historical)));
  lines.push_back(atr->has_tck ? "check byte TCK correct" : "no check byte (T=0 only)");
  return lines;
}

}  // namespace tools
