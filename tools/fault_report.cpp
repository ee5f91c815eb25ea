#include "tools/fault_report.h"

#include <cstdio>

namespace tools {

namespace {

std::string Ordinal(int n) {
  const char* suffix = "th";
  if (n % 100 < 11 || n % 100 > 13) {
    if (n % 10 == 1) suffix = "st";
    if (n % 10 == 2) suffix = "nd";
    if (n % 10 == 3) suffix = "rd";
  }
  return std::to_string(n) + suffix;
}

std::string Seconds(host::kernel::Ticks t) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", double(t) / double(host::kernel::kTicksPerSecond));
  return text;
}

std::string Why(const sim::ScriptStep& step, uint64_t commands) {
  if (uint64_t(step.exchange) > commands) {
    return commands == 0 ? "the session sent no card command"
                         : "the session sent " + std::to_string(commands) + " card command" +
                               (commands == 1 ? "" : "s");
  }
  std::string command = "card command " + std::to_string(step.exchange);
  if (step.at.chain == sim::ExchangePoint::Chain::kHost) {
    return command + " went to the reader in fewer than " + std::to_string(step.at.block) +
           " blocks";
  }
  // aJ stands in place of the answer's block J+1: an answer in one block is never acknowledged.
  return "the answer to " + command + " had no " + Ordinal(step.at.block + 1) +
         " block to stand in place of (a longer answer, or the reader setting sizes=32, gives "
         "one)";
}

}  // namespace

std::vector<std::string> FaultsNotStruck(const sim::FaultScript& script, const sim::Reader& reader,
                                         host::kernel::Ticks end) {
  std::vector<std::string> lines;
  uint64_t commands = reader.card_commands_started();
  for (const sim::ScriptStep& step : reader.WaitingScript()) {
    lines.push_back("fault '" + sim::FaultItemText(step) +
                    "' never struck: " + Why(step, commands));
  }
  for (const sim::TimedFault& fault : script.timed) {
    if (fault.at <= end) continue;
    lines.push_back("fault '" + sim::FaultItemText(fault) + "' never struck: the run ended at " +
                    Seconds(end) + " s");
  }
  return lines;
}

}  // namespace tools
