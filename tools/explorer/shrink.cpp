#include "tools/explorer/shrink.h"

#include <algorithm>

namespace explorer {

Shrunk Shrink(const Plan& plan, const RunOutcome& failed, int budget) {
  Shrunk best{plan, failed, 0};
  auto still_fails = [&](const Plan& candidate) {
    if (best.runs >= budget) return false;
    ++best.runs;
    RunOutcome outcome = RunPlan(candidate);
    if (outcome.ok || outcome.category != failed.category) return false;
    best.plan = candidate;
    best.outcome = std::move(outcome);
    return true;
  };
  // Whole actors first: most failures need two or three of them.
  for (const Actor& actor : Actors(plan)) {
    Plan candidate = best.plan;
    std::erase_if(candidate.ops, [&](const Op& op) { return op.actor == actor; });
    if (candidate.ops.size() < best.plan.ops.size()) still_fails(candidate);
  }
  // Converters nothing acts on any more, from the last one.
  while (best.plan.converters > 1) {
    int last = best.plan.converters - 1;
    if (std::any_of(best.plan.ops.begin(), best.plan.ops.end(),
                    [&](const Op& op) { return op.actor.device == last; }))
      break;
    Plan candidate = best.plan;
    candidate.converters = last;
    candidate.realistic.resize(last);
    if (!still_fails(candidate)) break;
  }
  // Then operations, in halves, quarters, ... down to one at a time.
  for (size_t chunk = std::max<size_t>(best.plan.ops.size() / 2, 1); chunk >= 1; chunk /= 2) {
    for (size_t i = 0; i < best.plan.ops.size();) {
      Plan candidate = best.plan;
      size_t end = std::min(i + chunk, candidate.ops.size());
      candidate.ops.erase(candidate.ops.begin() + long(i), candidate.ops.begin() + long(end));
      if (!still_fails(candidate)) i += chunk;
    }
    if (chunk == 1) break;
  }
  // The ideal reader and the current platform where the failure does not need the others.
  for (int d = 0; d < best.plan.converters; ++d) {
    if (!best.plan.realistic[d]) continue;
    Plan candidate = best.plan;
    candidate.realistic[d] = false;
    still_fails(candidate);
  }
  if (best.plan.legacy) {
    Plan candidate = best.plan;
    candidate.legacy = false;
    still_fails(candidate);
  }
  best.plan.span = best.plan.ops.empty() ? 0 : best.plan.ops.back().at;
  return best;
}

}  // namespace explorer
