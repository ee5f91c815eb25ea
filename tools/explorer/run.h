// One run of the sequence explorer: a machine in simulation boots with the plan's converters and
// the driver, every actor carries out its operations on a thread of its own, a monitor stops the
// machine when a request stays pending past its bound, and every request's outcome is checked
// against what the model allows for the operation in the state the device was in. Then the faults
// end and, within a bound, a clean session must go through on every device; the machine shuts
// down and its checks look for what was left behind.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/explorer/plan.h"

namespace explorer {

// Which pairs of operations overlapped in time on one device, and which states each met.
struct Coverage {
  std::map<std::pair<std::string, std::string>, uint64_t> overlaps;
  std::map<std::string, std::map<std::string, uint64_t>> states;  // op -> "card:in" -> count
  void Add(const Coverage& other);
};

struct RunOutcome {
  bool ok = true;
  // What went wrong first: "hang", "verifier", "leak", "corrupted", "status", "quiescence".
  std::string category;
  std::string problem;
  uint64_t digest = 0;           // of the event log: the same plan gives the same digest
  std::vector<std::string> log;  // every operation and what came of it
  Coverage coverage;
  uint64_t requests = 0;
};

struct RunSettings {
  bool debug_print = false;  // the driver's debug output on stderr
};

RunOutcome RunPlan(const Plan& plan, const RunSettings& settings = {});

}  // namespace explorer
