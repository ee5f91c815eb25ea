// The kernel's private state: emulated threads, the dispatcher database, timers, the DPC and
// device-event queues. Everything here is guarded by Internals::mu, the dispatcher lock; no
// driver or device code ever runs while it is held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/kernel/kernel.h"
#include "platform/ke.h"

// The host's thread object behind PKTHREAD. Its header is signalled when the thread has ended.
struct _KTHREAD {
  enum class State { kCreated, kReady, kRunning, kBlocked, kTerminated };

  DISPATCHER_HEADER Header{};
  host::kernel::Kernel* kernel = nullptr;
  std::string name;
  uint32_t id = 0;
  KPRIORITY priority = 8;
  bool daemon = false;
  bool system_thread = false;  // created by PsCreateSystemThread
  bool internal = false;       // the interrupt context: never reported as blocked
  bool exact_time = false;     // simulated hardware: not on the machine's clock tick
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<const void*> spin_locks;  // held now, oldest first
  int mutexes_owned = 0;
  // Driver routines running now, innermost last: what a bug check names.
  std::vector<std::pair<const char*, const void*>> routines;
  // Spin locks this thread must not take now, and why (ForbiddenSpinLocks).
  std::vector<const void*> forbidden_spin_locks;
  std::string forbidden_why;
  // The thread's stack, and where it stood when the thread last left the processor.
  const char* stack_low = nullptr;
  const char* stack_high = nullptr;
  const void* parked_at = nullptr;

  State state = State::kCreated;
  DISPATCHER_HEADER* waiting_on = nullptr;
  host::kernel::Ticks wait_deadline = host::kernel::kNoDeadline;
  NTSTATUS wait_status = STATUS_SUCCESS;
  bool abort = false;  // the machine halted: unwind at the next scheduling point

  std::function<void()> body;
  std::condition_variable cv;
  std::thread os_thread;
  int references = 1;  // the kernel's own; handles and object references add to it
};

namespace host::kernel {

using ThreadPtr = _KTHREAD*;

// A key that orders items due at the same time by when they were queued.
using DueKey = std::pair<Ticks, uint64_t>;

struct Kernel::Internals {
  explicit Internals(Kernel& kernel, const KernelOptions& options);

  Kernel& kernel;
  Mode mode;
  Timing timing;
  std::mutex mu;
  std::mt19937_64 rng;
  std::mt19937_64 model_rng;                            // Kernel::DrawFromSeed
  std::unordered_map<const void*, std::string> labels;  // Kernel::LabelObject
  uint64_t sequence = 0;                                // for DueKey
  uint32_t next_thread_id = 1;

  // Threads
  std::list<std::unique_ptr<_KTHREAD>> threads;
  std::vector<ThreadPtr> ready;  // simulation: the threads that may run next
  ThreadPtr running = nullptr;   // simulation: the one thread that runs
  ThreadPtr main = nullptr;
  ThreadPtr interrupt = nullptr;  // runs DPCs and device events at DISPATCH_LEVEL
  ThreadPtr preempted = nullptr;  // the thread an interrupt took the processor from

  // Waits
  std::unordered_map<DISPATCHER_HEADER*, std::deque<ThreadPtr>> waiters;
  std::map<DueKey, ThreadPtr> wait_deadlines;

  // Timers and device events
  std::map<DueKey, PKTIMER> timers;
  std::unordered_map<PKTIMER, DueKey> timer_keys;
  struct DeviceEvent {
    EventId id;
    std::function<void()> fn;
  };
  std::map<DueKey, DeviceEvent> device_events;
  std::unordered_map<EventId, DueKey> device_event_keys;
  EventId next_event_id = 1;

  // Work for the interrupt context, in order
  std::deque<PKDPC> dpc_queue;
  // Device events whose time has come, not yet run: still cancellable (CancelScheduled).
  std::deque<DeviceEvent> due_device_events;

  // Time
  Ticks virtual_now = 0;
  std::chrono::steady_clock::time_point real_boot;

  // Lifecycle
  bool halted = false;  // a deadlock or bug check stopped the machine
  bool shutting_down = false;
  RunResult result;
  std::condition_variable done_cv;
  bool done = false;
  std::vector<std::function<std::string()>> shutdown_checks;
  std::vector<std::function<std::string(PKTHREAD)>> thread_end_checks;

  // Real mode: the clock thread fires timers and device events.
  std::thread clock_thread;
  std::condition_variable clock_cv;

  // Handles: value -> thread
  std::unordered_map<uintptr_t, ThreadPtr> handles;
  uintptr_t next_handle = 4;

  bool record_trace;
  std::vector<TraceEvent> trace;

  // --- all of these take the dispatcher lock as `lock` ---
  Ticks NowLocked() const;
  // When a timer, delay or wait time-out due at `due` (a future time) expires for thread t:
  // the next clock tick unless the machine or the thread keeps exact time.
  Ticks ExpiryLocked(Ticks due, ThreadPtr t) const;
  bool OnClockTick(ThreadPtr t) const;
  void TraceLocked(TraceEvent::Kind kind, uint32_t thread);
  // Makes t ready to run with the given wait status.
  void ReadyLocked(ThreadPtr t, NTSTATUS status);
  // Blocks the calling thread until ReadyLocked or its deadline; returns its wait status.
  NTSTATUS BlockLocked(std::unique_lock<std::mutex>& lock, ThreadPtr self,
                       DISPATCHER_HEADER* object, Ticks deadline);
  // Simulation: hands the processor to the next thread and waits to get it back (unless self
  // has ended).
  void SwitchLocked(std::unique_lock<std::mutex>& lock, ThreadPtr self);
  ThreadPtr PickLocked();
  bool AdvanceTimeLocked();
  void ExpireDueLocked(Ticks now);
  void HaltLocked(Outcome outcome, std::string report);
  std::string DeadlockReportLocked();
  void WakeInterruptLocked();
  void QueueDpcLocked(PKDPC dpc);
  void RemoveWaitLocked(ThreadPtr t);
  // Signals an object: wakes the waiters its state satisfies.
  void SignalLocked(DISPATCHER_HEADER* object);
  // Whether the object can be acquired by t now; acquires it if so.
  bool TryAcquireLocked(DISPATCHER_HEADER* object, ThreadPtr t);
  void CancelTimerLocked(PKTIMER timer);
  void CheckUnwindLocked(ThreadPtr self);

  void ThreadEntry(ThreadPtr self);
  void InterruptLoop(ThreadPtr self);
  void ClockLoop();
  ThreadPtr CreateThreadLocked(std::string name, std::function<void()> fn, KPRIORITY priority,
                               bool daemon);
  void StartOsThread(ThreadPtr t);
};

// The emulated thread the calling OS thread is, or null.
ThreadPtr CurrentThreadOrNull();
ThreadPtr CurrentThread();  // fatal outside a machine

std::string DescribeThread(ThreadPtr t);
std::string DescribeObject(const DISPATCHER_HEADER* object);
// The innermost driver routine t runs, as "in completion routine X", or empty.
std::string DescribeRoutine(ThreadPtr t);

// Deadline for a Windows timeout (NULL forever, negative relative, positive absolute system
// time, zero now).
Ticks DeadlineFor(Kernel::Internals& in, const LARGE_INTEGER* timeout);
Ticks SystemTimeAtBoot();

}  // namespace host::kernel
