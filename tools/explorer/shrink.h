// A failing plan made shorter: actors dropped, then operations, while the run still fails the
// same way. What is left is what it takes.
#pragma once

#include <string>

#include "tools/explorer/plan.h"
#include "tools/explorer/run.h"

namespace explorer {

struct Shrunk {
  Plan plan;
  RunOutcome outcome;  // the shrunk plan's run
  int runs = 0;        // runs the shrinking took
};

// `failed` is the plan's failing run; at most `budget` runs are spent.
Shrunk Shrink(const Plan& plan, const RunOutcome& failed, int budget);

}  // namespace explorer
