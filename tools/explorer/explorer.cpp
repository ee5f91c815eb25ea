// zarq7-explorer: the sequence explorer. For each seed a plan is drawn (plan.h): one to three
// converters with the ideal or the realistic reader, now and then the Windows 98/Me platform, and
// for a stretch of virtual time several actors at once: two application threads per device on
// one handle, the configuration tool on the same device, and the system (Plug and Play, power,
// the card, the reader, the line, the pool). Every request is checked against the model
// (run.h); at the end the faults end and a clean session must go through on every device.
//
//   zarq7-explorer [--seeds N] [--first N] [--jobs-of K/M]  seeds first .. first+N-1
//   zarq7-explorer --seed N [--verbose]                     one seed's run, replayed exactly
//   zarq7-explorer --plan FILE [--verbose]                  a printed plan, replayed
//   zarq7-explorer --merge-coverage FILE...                 one coverage table of several runs
//   options: --no-shrink, --shrink-budget N, --coverage (the table after the runs),
//            --coverage-file FILE (the counts, for --merge-coverage), --print-plan,
//            --debug (the driver's debug output)
//
// Each run prints nothing unless it fails; a failing one is shrunk (actors, then operations,
// dropped while it still fails the same way) and printed as a plan with the command that replays
// it. The last line counts runs and failures; the exit status is 1 when any failed. --verbose
// prints every operation of the run and the digest of its event log: the same seed or plan always
// gives the same digest.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "tools/explorer/plan.h"
#include "tools/explorer/run.h"
#include "tools/explorer/shrink.h"

namespace {

using namespace explorer;

int Usage() {
  std::cerr << "usage: zarq7-explorer [--seeds N] [--first N] [--seed N] [--plan FILE] "
               "[--no-shrink] [--shrink-budget N] [--coverage] [--coverage-file FILE] "
               "[--print-plan] [--verbose] [--debug]\n"
               "       zarq7-explorer --merge-coverage FILE...\n";
  return 2;
}

bool Number(const char* text, uint64_t* value) {
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return end && *end == 0 && end != text;
}

std::string Hex64(uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

void PrintCoverage(const Coverage& c, std::ostream& out) {
  out << "overlaps: pairs of operations in progress at the same time on one device\n";
  for (const auto& [pair, count] : c.overlaps)
    out << "  " << pair.first << " + " << pair.second << ": " << count << "\n";
  out << "never overlapped:";
  int never = 0;
  for (int a = 0; a < kOpKinds; ++a) {
    for (int b = a; b < kOpKinds; ++b) {
      std::string x = OpName(OpKind(a)), y = OpName(OpKind(b));
      auto key = x < y ? std::make_pair(x, y) : std::make_pair(y, x);
      if (c.overlaps.count(key)) continue;
      out << (never++ % 6 == 0 ? "\n  " : ", ") << key.first << " + " << key.second;
    }
  }
  out << "\n  (" << never << " pairs; one system actor's own operations never overlap)\n";
  const char* kStates[] = {"device:started", "device:stopped", "device:unplugged", "device:other",
                           "power:awake",    "power:asleep",   "link:9600",        "link:fast",
                           "card:in",        "card:out"};
  out << "states each operation met (at its start):\n  " << std::string(15, ' ');
  for (const char* s : kStates) out << " " << s;
  out << "\n";
  for (int k = 0; k < kOpKinds; ++k) {
    std::string op = OpName(OpKind(k));
    char name[20];
    std::snprintf(name, sizeof name, "%-15s", op.c_str());
    out << "  " << name;
    auto found = c.states.find(op);
    for (const char* s : kStates) {
      uint64_t n = 0;
      if (found != c.states.end() && found->second.count(s)) n = found->second.at(s);
      char cell[24];
      std::snprintf(cell, sizeof cell, " %*llu", int(std::string(s).size()),
                    static_cast<unsigned long long>(n));
      out << cell;
    }
    out << "\n";
  }
}

// One count a line: "overlap A B N" or "state OP STATE N".
void WriteCoverage(const Coverage& c, std::ostream& out) {
  for (const auto& [pair, count] : c.overlaps)
    out << "overlap " << pair.first << " " << pair.second << " " << count << "\n";
  for (const auto& [op, met] : c.states)
    for (const auto& [state, count] : met)
      out << "state " << op << " " << state << " " << count << "\n";
}

bool ReadCoverage(std::istream& in, Coverage* c) {
  std::string kind, a, b;
  uint64_t count = 0;
  while (in >> kind >> a >> b >> count) {
    if (kind == "overlap") {
      c->overlaps[{a, b}] += count;
    } else if (kind == "state") {
      c->states[a][b] += count;
    } else {
      return false;
    }
  }
  return in.eof();
}

void PrintFailure(const Plan& plan, const RunOutcome& run, bool shrink, int budget,
                  const std::string& origin) {
  std::cerr << "FAILED " << origin << ": " << run.category << ": " << run.problem << "\n";
  if (!shrink) {
    std::cerr << "replay: zarq7-explorer --seed " << plan.seed << " --verbose\n";
    return;
  }
  Shrunk shrunk = Shrink(plan, run, budget);
  std::cerr << "shrunk in " << shrunk.runs << " runs from " << plan.ops.size() << " to "
            << shrunk.plan.ops.size() << " operations; it fails with: " << shrunk.outcome.category
            << ": " << shrunk.outcome.problem << "\n";
  std::cerr << "--- plan (save as FILE; replay: zarq7-explorer --plan FILE --verbose) ---\n"
            << PlanText(shrunk.plan) << "--- end of plan ---\n";
  std::cerr << "replay the whole run: zarq7-explorer --seed " << plan.seed << " --verbose\n";
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seeds = 1, first = 1, seed = 0, budget = 150;
  bool one = false, shrink = true, coverage = false, verbose = false, print_plan = false,
       debug = false;
  std::string plan_file, coverage_file;
  if (argc > 1 && std::string(argv[1]) == "--merge-coverage") {
    Coverage merged;
    for (int i = 2; i < argc; ++i) {
      std::ifstream in(argv[i]);
      if (!in || !ReadCoverage(in, &merged)) {
        std::cerr << "zarq7-explorer: cannot read coverage " << argv[i] << "\n";
        return 2;
      }
    }
    PrintCoverage(merged, std::cout);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--seeds" && has_value) {
      if (!Number(argv[++i], &seeds)) return Usage();
    } else if (a == "--first" && has_value) {
      if (!Number(argv[++i], &first)) return Usage();
    } else if (a == "--seed" && has_value) {
      if (!Number(argv[++i], &seed)) return Usage();
      one = true;
    } else if (a == "--plan" && has_value) {
      plan_file = argv[++i];
    } else if (a == "--coverage-file" && has_value) {
      coverage_file = argv[++i];
    } else if (a == "--shrink-budget" && has_value) {
      if (!Number(argv[++i], &budget)) return Usage();
    } else if (a == "--no-shrink") {
      shrink = false;
    } else if (a == "--coverage") {
      coverage = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--print-plan") {
      print_plan = true;
    } else if (a == "--debug") {
      debug = true;
    } else {
      return Usage();
    }
  }
  RunSettings settings;
  settings.debug_print = debug;
  std::vector<Plan> plans;
  if (!plan_file.empty()) {
    std::ifstream in(plan_file);
    std::stringstream text;
    text << in.rdbuf();
    Plan plan;
    std::string error;
    if (!in || !ParsePlan(text.str(), &plan, &error)) {
      std::cerr << "zarq7-explorer: " << (in ? error : "cannot read " + plan_file) << "\n";
      return 2;
    }
    plans.push_back(plan);
  } else if (one) {
    plans.push_back(DrawPlan(seed));
  }
  auto began = std::chrono::steady_clock::now();
  Coverage total;
  uint64_t runs = 0, failures = 0, requests = 0;
  auto run_one = [&](const Plan& plan, const std::string& origin) {
    if (print_plan) std::cout << PlanText(plan);
    RunOutcome outcome = RunPlan(plan, settings);
    ++runs;
    requests += outcome.requests;
    total.Add(outcome.coverage);
    if (verbose) {
      for (const std::string& line : outcome.log) std::cout << line << "\n";
      std::cout << "digest " << Hex64(outcome.digest) << "\n";
    }
    if (!outcome.ok) {
      ++failures;
      PrintFailure(plan, outcome, shrink, int(budget), origin);
    }
  };
  if (!plans.empty()) {
    run_one(plans[0], plan_file.empty() ? "seed " + std::to_string(plans[0].seed) : plan_file);
  } else {
    for (uint64_t s = first; s < first + seeds; ++s)
      run_one(DrawPlan(s), "seed " + std::to_string(s));
  }
  if (coverage) PrintCoverage(total, std::cout);
  if (!coverage_file.empty()) {
    std::ofstream out(coverage_file);
    WriteCoverage(total, out);
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("explorer: %llu runs, %llu requests, %llu failed, wall time %.1f s\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(requests),
              static_cast<unsigned long long>(failures), wall);
  return failures ? 1 : 0;
}
