#include "tools/fault_matrix/matrix_run.h"

#include <cstdlib>
#include <random>

#include "host/kernel/pool.h"
#include "host/machine/machine.h"
#include "host/machine/reader_handle.h"
#include "sim/line_trace.h"
#include "sim/reader_profile.h"

namespace fault_matrix {

namespace {

using host::kernel::Ticks;

// A run whose requests have not all completed by then stops: far beyond any class's bound.
constexpr Ticks kRunLimit = host::kernel::Seconds(3600);
constexpr char kHungMarker[] = "fault matrix: the run passed its time limit";
constexpr char kShutdownMarker[] = "verifier at shutdown";

host::machine::ConverterOptions RealisticConverter(uint64_t seed) {
  host::machine::ConverterOptions options;
  options.rig.reader.reader = sim::RealisticProfile().options;
  options.rig.reader.reader.seed = seed;
  options.rig.reader.seed = seed;
  options.rig.reader.card.seed = seed;
  return options;
}

// Stops the machine when requests stay pending for good (the daemon ends quietly otherwise).
void StartRunLimit(host::machine::Machine& m) {
  host::kernel::SpawnOptions daemon;
  daemon.daemon = true;
  m.kernel().Spawn(
      "fault matrix run limit",
      [&m] {
        m.kernel().SleepFor(kRunLimit);
        m.kernel().BugCheck("fault matrix", kHungMarker);
      },
      daemon);
}

// The application's session on its own thread, while the fault acts on the main one.
SessionTally SessionUnderFault(FaultContext& context, const FaultClass& fault,
                               const std::vector<SessionStep>& plan, RecordingCard* card) {
  host::machine::Machine& m = context.machine;
  SessionTally tally;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  std::u16string device = context.converter->device_name();
  if (fault.prepare) fault.prepare(context);
  m.kernel().Spawn("application", [&] {
    SessionHooks hooks;
    hooks.before = [&context](size_t, const SessionStep& step) {
      context.transmitting = step.kind == SessionStep::Kind::kTransmit;
    };
    tally = RunSession(m, device, plan, fault.bound, hooks, card);
    context.session_over = true;
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  });
  if (fault.strike) fault.strike(context);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return tally;
}

// The device's start completes before the reader link's bring-up, which goes on behind the
// driver's link gate: a first request waits there, so that the session (and the pool allocation
// the pool class fails) begins with the link up, as a session that follows a plug-in does.
void WaitForTheLink(host::machine::Machine& m, const std::u16string& device) {
  host::machine::ReaderHandle reader(m);
  if (reader.Open(device) == STATUS_SUCCESS) {
    reader.GetState();
    reader.Close();
  }
}

}  // namespace

uint64_t SessionAllocations() {
  uint64_t count = 0;
  host::machine::MachineOptions options;
  host::machine::Machine machine(options);
  machine.Run([&](host::machine::Machine& m) {
    host::machine::Converter& converter = m.Plug(RealisticConverter(1));
    WaitForTheLink(m, converter.device_name());
    uint64_t before = m.kernel().pool().allocation_count();
    RunSession(m, converter.device_name(), CleanSession(), kRunLimit);
    count = m.kernel().pool().allocation_count() - before;
  });
  return count;
}

RunRecord RunOnce(const FaultClass& fault, uint64_t seed, uint64_t allocation_to_fail) {
  RunRecord record;
  host::machine::MachineOptions options;
  options.kernel.seed = seed;
  options.kernel.echo_debug_print = std::getenv("FAULT_MATRIX_DEBUG") != nullptr;
  host::machine::Machine machine(options);
  host::kernel::RunResult result = machine.Run([&](host::machine::Machine& m) {
    StartRunLimit(m);
    host::machine::ConverterOptions plug = RealisticConverter(seed);
    auto card = std::make_shared<RecordingCard>(plug.rig.reader.card);
    plug.card = card;
    if (fault.configure) fault.configure(plug);
    host::machine::Converter& converter = m.Plug(plug);
    WaitForTheLink(m, converter.device_name());
    FaultContext context(m, &converter, plug, seed * 0x9E3779B97F4A7C15ull);
    context.allocation_to_fail = allocation_to_fail;
    std::vector<SessionStep> plan = PlanSession(context.rng);
    record.session = SessionUnderFault(context, fault, plan, card.get());
    if (std::getenv("FAULT_MATRIX_LINE")) record.log.push_back(converter.line_trace().BlockText());
    if (fault.heal) fault.heal(context);
    record.struck =
        context.block_fault ? context.block_fault->applied : context.struck || !fault.strike;
    SessionTally clean = RunSession(m, context.converter->device_name(), CleanSession(),
                                    fault.bound, {}, card.get());
    record.log.insert(record.log.begin(), record.session.log.begin(), record.session.log.end());
    record.log.push_back("-- the fault has ended");
    record.log.insert(record.log.end(), clean.log.begin(), clean.log.end());
    if (!clean.all_correct()) {
      record.clean_failed = true;
      record.problem = "clean session afterwards: " + std::to_string(clean.failed) + " failed, " +
                       std::to_string(clean.corrupted) + " corrupted, " +
                       std::to_string(clean.late) + " late";
      for (const std::string& line : clean.log) {
        if (line.find("STATUS_SUCCESS") == std::string::npos) {
          record.problem += ", first: " + line;
          break;
        }
      }
    }
  });
  if (!record.session.first_problem.empty()) {
    record.problem =
        record.session.first_problem + (record.problem.empty() ? "" : "; ") + record.problem;
  }
  if (!result.ok()) {
    if (result.report.find(kHungMarker) != std::string::npos) {
      record.hung = true;
    } else if (result.outcome == host::kernel::Outcome::kBugCheck &&
               result.report.find(kShutdownMarker) != std::string::npos) {
      record.leak = true;
    } else if (result.outcome == host::kernel::Outcome::kDeadlock) {
      record.hung = true;
    } else {
      record.verifier_stop = true;
    }
    record.problem = result.report + (record.problem.empty() ? "" : "\n" + record.problem);
  }
  return record;
}

}  // namespace fault_matrix
