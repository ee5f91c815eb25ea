// The machine's kernel: the scheduler that runs emulated threads, with the clock, the dispatcher
// database, the deferred-procedure queue, pool and the verifier. The platform/ Ke, Ex, Ps and Rtl
// calls are implemented on top of it.
//
// Two modes share one implementation:
// - Simulation: exactly one emulated thread runs at a time and gives up the processor only where it
//   blocks, ends or yields. The next ready thread is drawn from the seed; when nothing is ready,
//   virtual time jumps to the earliest deadline. The same seed replays the same run.
// - Real: operating-system threads run concurrently against the monotonic clock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "host/kernel/debug_log.h"
#include "host/kernel/pool.h"
#include "host/kernel/ticks.h"
#include "platform/ke.h"

namespace host::kernel {

enum class Mode { kSimulation, kReal };

// When the machine's software sees time pass. kClockTick is Windows: timers, delays and wait
// time-outs expire at the first clock interrupt (every kClockTick) at or after their due time,
// and KeQueryInterruptTime and KeQuerySystemTime advance by whole clock ticks ("Timer Accuracy",
// "KeQueryTimeIncrement function (wdm.h)", "KeQueryInterruptTime function (wdm.h)"). kExact lets
// them expire at their due time to the 100 ns, for measurements that must not carry the clock's
// granularity. Simulated hardware (device events, and threads spawned as daemons) always keeps
// exact time: it does not run on the machine's clock interrupt.
enum class Timing { kClockTick, kExact };

struct KernelOptions {
  Mode mode = Mode::kSimulation;
  uint64_t seed = 1;
  bool record_trace = false;      // keep every scheduling event for Trace()
  bool echo_debug_print = false;  // DbgPrint output also goes to stderr
  Timing timing = Timing::kClockTick;
};

enum class Outcome { kCompleted, kDeadlock, kBugCheck };

struct RunResult {
  Outcome outcome = Outcome::kCompleted;
  std::string report;  // the deadlock report or the bug check message
  bool ok() const { return outcome == Outcome::kCompleted; }
};

// One scheduling event, for comparing runs.
struct TraceEvent {
  enum class Kind : uint8_t {
    kSwitch,
    kTimerExpired,
    kWaitTimedOut,
    kDpc,
    kDeviceEvent,
    kThreadEnd
  };
  Ticks time;
  Kind kind;
  uint32_t thread;  // thread switched to or ended; 0 for the others
  bool operator==(const TraceEvent&) const = default;
};

struct SpawnOptions {
  KPRIORITY priority = 8;
  // A daemon is a host thread (a device's firmware, a listener) that is ended quietly at
  // shutdown; every other thread still running then is a verifier failure. Being hardware, it
  // keeps exact time whatever the machine's Timing.
  bool daemon = false;
};

using EventId = uint64_t;

// Thrown through a thread's frames to end it (PsTerminateSystemThread, bug check, deadlock);
// caught only by the thread's own entry. Deliberately not a std::exception.
struct ThreadUnwind {};

class Kernel {
 public:
  explicit Kernel(KernelOptions options = {});
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // Boots the machine: runs body as the first thread, "main", and returns when it has ended and the
  // shutdown checks have passed, or when the machine stopped on a deadlock or a bug check.
  // Call it once, from a thread outside the machine.
  RunResult Run(std::function<void()> body);

  // The kernel of the calling emulated thread; fatal when called from outside a machine.
  static Kernel& Current();
  static Kernel* CurrentOrNull();

  Mode mode() const { return options_.mode; }
  uint64_t seed() const { return options_.seed; }
  Timing timing() const { return options_.timing; }

  // A number in [0, bound) drawn from the seed, for the host's models where Windows allows more
  // than one course (a cancelled transfer completing at once or a frame later). Its own sequence:
  // the scheduler's draws are not disturbed.
  uint64_t DrawFromSeed(uint64_t bound);

  // A name for a dispatcher object in deadlock reports ("the remove lock, held by tag 'Open'");
  // an empty label removes it.
  void LabelObject(const void* object, std::string label);

  // Interrupt time: 100-ns units since boot, virtual in simulation.
  Ticks Now();

  // A host thread at PASSIVE_LEVEL running fn.
  PKTHREAD Spawn(std::string name, std::function<void()> fn, SpawnOptions options = {});

  // A simulated device's event: fn runs at time `when` at DISPATCH_LEVEL in the interrupt
  // context, where it may signal objects and queue DPCs but not wait.
  EventId ScheduleAt(Ticks when, std::function<void()> fn);
  EventId ScheduleAfter(Ticks delay, std::function<void()> fn);
  bool CancelScheduled(EventId id);

  // Offers the processor to the other ready threads.
  void Yield();

  // Waits `delay` of virtual time exactly, whatever the Timing: for host code that plays
  // hardware (a test standing in for the bus's schedule), whose time is not the machine's clock
  // tick. From an emulated thread at PASSIVE_LEVEL.
  void SleepFor(Ticks delay);

  // Stops the machine with a message naming the call and the calling thread. Does not return.
  [[noreturn]] void BugCheck(std::string_view call, std::string_view message);

  // Windows 98/Me: the kernel exports no KeReadStateEvent (an image that imports it does not
  // load), and a wait on a thread object crashes the system. On a legacy machine driver code (a
  // driver's system thread or a driver routine the machine called) doing either stops the machine,
  // naming the routine that did it. Set by the I/O manager from the WDM version it reports.
  void SetLegacyPlatform(bool legacy) { legacy_platform_ = legacy; }
  bool legacy_platform() const { return legacy_platform_; }
  // Stops the machine when the calling thread runs driver code on a legacy machine: `call` does
  // not exist there or crashes it. `caller` is the code address that made the call.
  void CheckLegacyCall(std::string_view call, std::string_view why, const void* caller);

  // A check run when the machine shuts down; a non-empty answer is a verifier failure.
  void AddShutdownCheck(std::function<std::string()> check);
  // A check run in an emulated thread whose routine has ended (its stack is gone), with no lock
  // held; a non-empty answer stops the machine.
  void AddThreadEndCheck(std::function<std::string(PKTHREAD)> check);

  Pool& pool() { return pool_; }
  DebugLog& debug_log() { return debug_log_; }
  std::vector<TraceEvent> Trace();

  // Services of the operating system built on the kernel (I/O manager, bus, smart card library),
  // found by type from the platform calls.
  template <class T>
  void SetService(T* service) {
    services_[std::type_index(typeid(T))] = service;
  }
  template <class T>
  T* GetService() {
    auto it = services_.find(std::type_index(typeid(T)));
    return it == services_.end() ? nullptr : static_cast<T*>(it->second);
  }

  // --- used by the platform implementation ---
  struct Internals;
  Internals& internals() { return *internals_; }

 private:
  KernelOptions options_;
  Pool pool_;
  DebugLog debug_log_;
  std::unique_ptr<Internals> internals_;
  std::unordered_map<std::type_index, void*> services_;
  bool legacy_platform_ = false;
};

// Runs scenario once per seed from 1 to count; a scenario returns the run's result.
std::vector<RunResult> RunSeeds(int count, const std::function<RunResult(uint64_t seed)>& scenario);

// The symbol of a routine ("(anonymous namespace)::PowerUpComplete"), or "routine at 0x..." when
// it has none.
std::string RoutineName(const void* routine);

// Names the driver routine the calling emulated thread runs while the scope lives, so that a bug
// check names it ("in completion routine PowerUpComplete"). Scopes nest; the innermost is named.
class RoutineScope {
 public:
  RoutineScope(const char* kind, const void* routine);
  ~RoutineScope();
  RoutineScope(const RoutineScope&) = delete;
  RoutineScope& operator=(const RoutineScope&) = delete;
};

// Kernel mutexes the calling emulated thread owns now.
int MutexesOwned();

// The spin locks the calling emulated thread holds, oldest first.
std::vector<const void*> HeldSpinLocks();

// While the scope lives, the calling thread acquiring one of `locks` stops the machine with
// `why`: a lock that would already be held on a course Windows may take.
class ForbiddenSpinLocks {
 public:
  ForbiddenSpinLocks(std::vector<const void*> locks, std::string why);
  ~ForbiddenSpinLocks();
  ForbiddenSpinLocks(const ForbiddenSpinLocks&) = delete;
  ForbiddenSpinLocks& operator=(const ForbiddenSpinLocks&) = delete;

 private:
  std::vector<const void*> saved_locks_;
  std::string saved_why_;
};

// Where the calling thread's stack stands: an address below every frame of its callers.
const void* StackMark();
// Whether address lies on the calling emulated thread's stack.
bool OnCurrentStack(const void* address);
// Whether address lies on another thread's stack in a frame that has certainly been popped: the
// thread has ended, or (simulation) it is parked off the processor with its stack above address.
// False for the calling thread and for addresses not on that thread's stack.
bool OnUnwoundStack(PKTHREAD thread, const void* address);

}  // namespace host::kernel
