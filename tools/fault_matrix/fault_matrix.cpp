// zarq7-fault-matrix: the whole stack under faults, one row per fault class.
//
//   zarq7-fault-matrix [--seeds N] [--class NAME] [--seed N] [--list] [--verbose]
//
// Every run boots a machine in simulation with the driver, plugs in a converter (realistic
// reader, built-in card), runs an application's card session while the class's fault strikes,
// ends the fault and runs a clean session; seeds 1..N per class, or the one --seed. The pool
// class fails allocation 1 + (seed - 1) mod n of the session, n being what a session allocates,
// so that N >= n seeds fail every one of them in turn. Each failing run is printed with the
// command line that replays it; the exit status is 1 when any run failed.
//
// Columns: runs; struck, the runs in which the fault met the session; correct, requests that
// brought back what they must, of which cmddmg brought back the card's own answer to a command
// that line damage changed on its way to the card (the reader's LRC let it through: what the
// card sent, not a corruption); failed, requests that failed with a status; corrupted, answers
// that differ from what the card sent, reported as success; unended, requests not completed
// within the class's bound (bound/s; slowest is the longest one seen); verifier, machines stopped
// by the verifier; leaks, what the shutdown checks found left behind; after, clean sessions that
// failed once the fault had ended. --verbose
// prints each run's requests and what came of them; FAULT_MATRIX_LINE=1 adds the blocks on the
// serial line and FAULT_MATRIX_DEBUG=1 the driver's debug output.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/fault_matrix/matrix_run.h"

namespace {

using fault_matrix::FaultClass;
using fault_matrix::RunRecord;
using host::kernel::Ticks;

struct Row {
  int runs = 0, struck = 0, damaged_commands = 0, correct = 0, failed = 0, corrupted = 0,
      never_completed = 0, verifier_stops = 0, leaks = 0, failed_after = 0, bad_runs = 0;
  Ticks slowest = 0;
  void Add(const RunRecord& r) {
    ++runs;
    struck += r.struck ? 1 : 0;
    correct += r.session.correct;
    damaged_commands += r.session.damaged_commands;
    failed += r.session.failed;
    corrupted += r.session.corrupted;
    never_completed += r.session.late + (r.hung ? 1 : 0);
    verifier_stops += r.verifier_stop ? 1 : 0;
    leaks += r.leak ? 1 : 0;
    failed_after += r.clean_failed ? 1 : 0;
    bad_runs += r.ok() ? 0 : 1;
    slowest = std::max(slowest, r.session.slowest);
  }
};

int Usage() {
  std::cerr
      << "usage: zarq7-fault-matrix [--seeds N] [--class NAME] [--seed N] [--list] [--verbose]\n";
  return 2;
}

double InSeconds(Ticks t) { return double(t) / double(host::kernel::Seconds(1)); }

}  // namespace

int main(int argc, char** argv) {
  uint64_t seeds = 1000, only_seed = 0;
  std::string only_class;
  bool verbose = false;
  std::vector<FaultClass> classes = fault_matrix::FaultClasses();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--list") {
      for (const FaultClass& c : classes) std::cout << c.name << "  " << c.description << "\n";
      return 0;
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--seeds" && has_value) {
      seeds = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seed" && has_value) {
      only_seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--class" && has_value) {
      only_class = argv[++i];
    } else {
      return Usage();
    }
  }
  if (!only_class.empty()) {
    std::erase_if(classes, [&](const FaultClass& c) { return c.name != only_class; });
    if (classes.empty()) {
      std::cerr << "zarq7-fault-matrix: no class \"" << only_class << "\" (--list)\n";
      return 2;
    }
  }
  if (seeds == 0 && only_seed == 0) return Usage();

  uint64_t allocations = 0;
  for (const FaultClass& c : classes) {
    if (c.name == "pool") allocations = fault_matrix::SessionAllocations();
  }
  auto started = std::chrono::steady_clock::now();
  std::printf("%-22s %-40s %6s %6s %8s %6s %7s %9s %9s %8s %6s %7s %8s %8s\n", "class", "fault",
              "runs", "struck", "correct", "cmddmg", "failed", "corrupted", "unended", "verifier",
              "leaks", "after", "bound/s", "slowest");
  bool all_ok = true;
  for (const FaultClass& c : classes) {
    Row row;
    uint64_t first = only_seed ? only_seed : 1, last = only_seed ? only_seed : seeds;
    for (uint64_t seed = first; seed <= last; ++seed) {
      uint64_t fail_at = allocations ? 1 + (seed - 1) % allocations : 0;
      RunRecord r = fault_matrix::RunOnce(c, seed, c.name == "pool" ? fail_at : 0);
      row.Add(r);
      if (verbose) {
        for (const std::string& line : r.log) std::printf("  %s\n", line.c_str());
      }
      if (!r.ok()) {
        std::fprintf(
            stderr,
            "FAILED %s seed %llu: %s\n  replay: zarq7-fault-matrix --class %s --seed %llu\n",
            c.name.c_str(), (unsigned long long)seed, r.problem.c_str(), c.name.c_str(),
            (unsigned long long)seed);
      }
    }
    all_ok = all_ok && row.bad_runs == 0;
    std::printf("%-22s %-40s %6d %6d %8d %6d %7d %9d %9d %8d %6d %7d %8.0f %8.2f\n", c.name.c_str(),
                c.description.c_str(), row.runs, row.struck, row.correct, row.damaged_commands,
                row.failed, row.corrupted, row.never_completed, row.verifier_stops, row.leaks,
                row.failed_after, InSeconds(c.bound), InSeconds(row.slowest));
    std::fflush(stdout);
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (allocations)
    std::printf("a session makes %llu pool allocations\n", (unsigned long long)allocations);
  std::printf("wall time %.1f s\n", wall);
  return all_ok ? 0 : 1;
}
