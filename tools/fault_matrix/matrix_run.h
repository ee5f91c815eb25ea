// One run of the fault matrix: a machine boots with the driver, a converter is plugged in and
// started by Plug and Play, an application runs a card session while the class's fault strikes,
// the fault ends, and a clean session must go through; then the machine shuts down and its
// checks look for what was left behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "tools/fault_matrix/fault_classes.h"
#include "tools/fault_matrix/session_plan.h"

namespace fault_matrix {

struct RunRecord {
  SessionTally session;          // the one the fault befell
  bool struck = false;           // the fault met the session
  bool clean_failed = false;     // the session after the fault did not go through
  bool verifier_stop = false;    // the machine stopped (verifier, bug check)
  bool leak = false;             // the shutdown checks found what was left behind
  bool hung = false;             // a request never completed: the run passed its time limit
  std::string problem;           // what went wrong first, for the report
  std::vector<std::string> log;  // both sessions' requests, for --verbose
  bool ok() const {
    return session.corrupted == 0 && session.late == 0 && !clean_failed && !verifier_stop &&
           !leak && !hung;
  }
};

// The pool allocations a session of the clean plan makes on a started device: the pool class
// fails each of them in turn.
uint64_t SessionAllocations();

RunRecord RunOnce(const FaultClass& fault, uint64_t seed, uint64_t allocation_to_fail);

}  // namespace fault_matrix
