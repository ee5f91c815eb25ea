// The scheduler: emulated threads, the interrupt context that runs DPCs and device events, the
// virtual clock of simulation and the clock thread of real mode, halting and shutdown.
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "host/kernel/internals.h"

namespace host::kernel {
namespace {

thread_local ThreadPtr tls_current = nullptr;

// 2026-01-01 00:00:00 UTC in 100-ns units since 1601-01-01: simulated machines all boot then.
constexpr Ticks kSimulatedBootSystemTime = (11644473600LL + 1767225600LL) * kTicksPerSecond;

const char* StateName(_KTHREAD::State s) {
  switch (s) {
    case _KTHREAD::State::kCreated:
      return "created";
    case _KTHREAD::State::kReady:
      return "ready";
    case _KTHREAD::State::kRunning:
      return "running";
    case _KTHREAD::State::kBlocked:
      return "blocked";
    case _KTHREAD::State::kTerminated:
      return "ended";
  }
  return "?";
}

}  // namespace

ThreadPtr CurrentThreadOrNull() { return tls_current; }

ThreadPtr CurrentThread() {
  if (!tls_current) {
    std::fputs("*** platform call from a thread outside the machine\n", stderr);
    std::abort();
  }
  return tls_current;
}

std::string DescribeThread(ThreadPtr t) {
  if (!t) return "(no thread)";
  std::ostringstream out;
  out << "'" << t->name << "' #" << t->id;
  return out.str();
}

std::string DescribeObject(const DISPATCHER_HEADER* object) {
  std::ostringstream out;
  switch (object->Type) {
    case KOBJECT_EVENT_NOTIFICATION:
      out << "notification event";
      break;
    case KOBJECT_EVENT_SYNCHRONIZATION:
      out << "synchronization event";
      break;
    case KOBJECT_MUTANT: {
      auto mutex = reinterpret_cast<const KMUTEX*>(object);
      out << "mutex";
      if (mutex->OwnerThread) out << " owned by thread " << DescribeThread(mutex->OwnerThread);
      break;
    }
    case KOBJECT_THREAD:
      out << "thread "
          << DescribeThread(reinterpret_cast<ThreadPtr>(const_cast<DISPATCHER_HEADER*>(object)));
      break;
    case KOBJECT_TIMER_NOTIFICATION:
    case KOBJECT_TIMER_SYNCHRONIZATION:
      out << "timer";
      break;
    default:
      out << "object of type " << int(object->Type);
  }
  out << " at " << static_cast<const void*>(object);
  return out.str();
}

Ticks SystemTimeAtBoot() {
  Kernel* k = Kernel::CurrentOrNull();
  if (k && k->mode() == Mode::kReal) {
    auto& in = k->internals();
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch() -
                       (std::chrono::steady_clock::now() - in.real_boot);
    return 11644473600LL * kTicksPerSecond +
           std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
  }
  return kSimulatedBootSystemTime;
}

Ticks DeadlineFor(Kernel::Internals& in, const LARGE_INTEGER* timeout) {
  if (!timeout) return kNoDeadline;
  Ticks now = in.NowLocked();
  if (timeout->QuadPart <= 0) return now - timeout->QuadPart;
  return std::max<Ticks>(0, timeout->QuadPart - SystemTimeAtBoot());
}

// Mixed into the seed for the models' draws, so that they do not repeat the scheduler's.
constexpr uint64_t kModelSeedMix = 0x9E3779B97F4A7C15ull;

Kernel::Internals::Internals(Kernel& k, const KernelOptions& options)
    : kernel(k),
      mode(options.mode),
      timing(options.timing),
      rng(options.seed),
      model_rng(options.seed ^ kModelSeedMix),
      record_trace(options.record_trace) {}

bool Kernel::Internals::OnClockTick(ThreadPtr t) const {
  return timing == Timing::kClockTick && !(t && t->exact_time);
}

Ticks Kernel::Internals::ExpiryLocked(Ticks due, ThreadPtr t) const {
  if (due == kNoDeadline || !OnClockTick(t)) return due;
  return RoundUpToClockTick(due);  // boot is on a tick
}

Ticks Kernel::Internals::NowLocked() const {
  if (mode == Mode::kSimulation) return virtual_now;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                              real_boot)
             .count() /
         100;
}

void Kernel::Internals::TraceLocked(TraceEvent::Kind kind, uint32_t thread) {
  if (record_trace) trace.push_back(TraceEvent{NowLocked(), kind, thread});
}

void Kernel::Internals::RemoveWaitLocked(ThreadPtr t) {
  if (t->waiting_on) {
    auto it = waiters.find(t->waiting_on);
    if (it != waiters.end()) {
      auto& q = it->second;
      q.erase(std::remove(q.begin(), q.end(), t), q.end());
      if (q.empty()) waiters.erase(it);
    }
    t->waiting_on = nullptr;
  }
  if (t->wait_deadline != kNoDeadline) {
    for (auto it = wait_deadlines.lower_bound({t->wait_deadline, 0});
         it != wait_deadlines.end() && it->first.first == t->wait_deadline; ++it) {
      if (it->second == t) {
        wait_deadlines.erase(it);
        break;
      }
    }
    t->wait_deadline = kNoDeadline;
  }
}

void Kernel::Internals::ReadyLocked(ThreadPtr t, NTSTATUS status) {
  RemoveWaitLocked(t);
  t->wait_status = status;
  if (t->state == _KTHREAD::State::kReady || t->state == _KTHREAD::State::kTerminated) return;
  t->state = _KTHREAD::State::kReady;
  if (mode == Mode::kSimulation) {
    ready.push_back(t);
  } else {
    t->cv.notify_all();
  }
}

void Kernel::Internals::CheckUnwindLocked(ThreadPtr self) {
  if (self->abort) throw ThreadUnwind{};
}

NTSTATUS Kernel::Internals::BlockLocked(std::unique_lock<std::mutex>& lock, ThreadPtr self,
                                        DISPATCHER_HEADER* object, Ticks deadline) {
  CheckUnwindLocked(self);
  self->state = _KTHREAD::State::kBlocked;
  self->waiting_on = object;
  self->wait_status = STATUS_SUCCESS;
  if (object) waiters[object].push_back(self);
  if (mode == Mode::kSimulation) {
    self->wait_deadline = deadline;
    if (deadline != kNoDeadline) wait_deadlines[{deadline, sequence++}] = self;
    SwitchLocked(lock, self);
  } else {
    auto real_deadline = deadline == kNoDeadline
                             ? std::chrono::steady_clock::time_point::max()
                             : real_boot + std::chrono::nanoseconds(deadline * 100);
    while (self->state == _KTHREAD::State::kBlocked && !self->abort) {
      if (deadline == kNoDeadline) {
        self->cv.wait(lock);
      } else if (self->cv.wait_until(lock, real_deadline) == std::cv_status::timeout &&
                 self->state == _KTHREAD::State::kBlocked) {
        RemoveWaitLocked(self);
        self->wait_status = STATUS_TIMEOUT;
        break;
      }
    }
    if (self->state == _KTHREAD::State::kBlocked) RemoveWaitLocked(self);
    self->state = _KTHREAD::State::kRunning;
  }
  CheckUnwindLocked(self);
  return self->wait_status;
}

ThreadPtr Kernel::Internals::PickLocked() {
  if (ready.empty()) return nullptr;
  auto take = [&](std::vector<ThreadPtr>::iterator it) {
    ThreadPtr t = *it;
    ready.erase(it);
    return t;
  };
  // Interrupts first, then the thread they pre-empted, as one processor would.
  auto it = std::find(ready.begin(), ready.end(), interrupt);
  if (it != ready.end()) return take(it);
  if (preempted) {
    it = std::find(ready.begin(), ready.end(), preempted);
    preempted = nullptr;
    if (it != ready.end()) return take(it);
  }
  KPRIORITY best = -1;
  for (ThreadPtr t : ready) best = std::max(best, t->priority);
  std::vector<size_t> candidates;
  for (size_t i = 0; i < ready.size(); ++i) {
    if (ready[i]->priority == best) candidates.push_back(i);
  }
  size_t chosen = candidates.size() == 1 ? candidates[0] : candidates[rng() % candidates.size()];
  return take(ready.begin() + long(chosen));
}

void Kernel::Internals::ExpireDueLocked(Ticks now) {
  while (!timers.empty() && timers.begin()->first.first <= now) {
    PKTIMER timer = timers.begin()->second;
    timers.erase(timers.begin());
    timer_keys.erase(timer);
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    TraceLocked(TraceEvent::Kind::kTimerExpired, 0);
    if (timer->Period > 0) {
      DueKey key{ExpiryLocked(now + Milliseconds(timer->Period), nullptr), sequence++};
      timers[key] = timer;
      timer_keys[timer] = key;
      timer->Header.Inserted = TRUE;
    }
    SignalLocked(&timer->Header);
    if (timer->Dpc) QueueDpcLocked(timer->Dpc);
  }
  while (!wait_deadlines.empty() && wait_deadlines.begin()->first.first <= now) {
    ThreadPtr t = wait_deadlines.begin()->second;
    TraceLocked(TraceEvent::Kind::kWaitTimedOut, t->id);
    ReadyLocked(t, STATUS_TIMEOUT);
  }
  while (!device_events.empty() && device_events.begin()->first.first <= now) {
    auto node = device_events.extract(device_events.begin());
    device_event_keys.erase(node.mapped().id);
    due_device_events.push_back(std::move(node.mapped()));
    TraceLocked(TraceEvent::Kind::kDeviceEvent, 0);
    WakeInterruptLocked();
  }
}

bool Kernel::Internals::AdvanceTimeLocked() {
  Ticks next = kNoDeadline;
  if (!timers.empty()) next = std::min(next, timers.begin()->first.first);
  if (!wait_deadlines.empty()) next = std::min(next, wait_deadlines.begin()->first.first);
  if (!device_events.empty()) next = std::min(next, device_events.begin()->first.first);
  if (next == kNoDeadline) return false;
  virtual_now = std::max(virtual_now, next);
  ExpireDueLocked(virtual_now);
  return true;
}

std::string Kernel::Internals::DeadlockReportLocked() {
  std::ostringstream out;
  out << "deadlock at " << NowLocked() / kTicksPerMillisecond
      << " ms: no thread can run and nothing is due";
  for (auto& t : threads) {
    if (t->internal || t->state == _KTHREAD::State::kTerminated) continue;
    out << "\n  thread " << DescribeThread(t.get()) << " " << StateName(t->state);
    if (t->waiting_on) {
      out << ", waits on " << DescribeObject(t->waiting_on);
      auto label = labels.find(t->waiting_on);
      if (label != labels.end()) out << " (" << label->second << ")";
    }
  }
  return out.str();
}

void Kernel::Internals::HaltLocked(Outcome outcome, std::string report) {
  if (halted) return;
  halted = true;
  result = RunResult{outcome, std::move(report)};
  ThreadPtr self = tls_current;
  for (auto& t : threads) {
    if (t->state == _KTHREAD::State::kTerminated) continue;
    t->abort = true;
    if (t.get() == self && t->state == _KTHREAD::State::kRunning) continue;  // unwinds itself
    if (t->state == _KTHREAD::State::kBlocked) {
      RemoveWaitLocked(t.get());
      t->state = _KTHREAD::State::kReady;
      if (mode == Mode::kSimulation) ready.push_back(t.get());
    }
    if (mode == Mode::kReal) t->cv.notify_all();
  }
  clock_cv.notify_all();
}

void Kernel::Internals::SwitchLocked(std::unique_lock<std::mutex>& lock, ThreadPtr self) {
  for (;;) {
    ThreadPtr next = PickLocked();
    if (next) {
      running = next;
      next->state = _KTHREAD::State::kRunning;
      TraceLocked(TraceEvent::Kind::kSwitch, next->id);
      if (next != self) next->cv.notify_all();
      break;
    }
    if (halted) {
      // Every thread left has been made ready to unwind; none is, so all have ended.
      running = nullptr;
      done = true;
      done_cv.notify_all();
      break;
    }
    if (!AdvanceTimeLocked()) HaltLocked(Outcome::kDeadlock, DeadlockReportLocked());
  }
  if (self && self->state != _KTHREAD::State::kTerminated) {
    self->parked_at = StackMark();
    self->cv.wait(lock, [&] { return running == self; });
  }
}

void Kernel::Internals::WakeInterruptLocked() {
  if (interrupt && interrupt->state == _KTHREAD::State::kBlocked) {
    ReadyLocked(interrupt, STATUS_SUCCESS);
  }
}

void Kernel::Internals::QueueDpcLocked(PKDPC dpc) {
  dpc->Inserted = TRUE;
  dpc_queue.push_back(dpc);
  WakeInterruptLocked();
}

ThreadPtr Kernel::Internals::CreateThreadLocked(std::string name, std::function<void()> fn,
                                                KPRIORITY priority, bool daemon) {
  auto t = std::make_unique<_KTHREAD>();
  t->Header.Type = KOBJECT_THREAD;
  t->kernel = &kernel;
  t->name = std::move(name);
  t->id = next_thread_id++;
  t->priority = priority;
  t->daemon = daemon;
  t->body = std::move(fn);
  ThreadPtr raw = t.get();
  threads.push_back(std::move(t));
  if (halted) raw->abort = true;
  raw->state = _KTHREAD::State::kReady;
  if (mode == Mode::kSimulation) ready.push_back(raw);
  return raw;
}

void Kernel::Internals::StartOsThread(ThreadPtr t) {
  t->os_thread = std::thread([this, t] { ThreadEntry(t); });
}

void Kernel::Internals::ThreadEntry(ThreadPtr self) {
  tls_current = self;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
      self->stack_low = static_cast<const char*>(low);
      self->stack_high = self->stack_low + size;
    }
    pthread_attr_destroy(&attributes);
  }
  bool run_body;
  {
    std::unique_lock lock(mu);
    if (mode == Mode::kSimulation) self->cv.wait(lock, [&] { return running == self; });
    self->state = _KTHREAD::State::kRunning;
    run_body = !self->abort;
  }
  std::string ended_with;
  if (run_body) {
    try {
      self->body();
    } catch (const ThreadUnwind&) {
    }
    std::vector<std::function<std::string(PKTHREAD)>> checks;
    {
      std::lock_guard lock(mu);
      if (!self->abort) checks = thread_end_checks;
    }
    for (auto& check : checks) ended_with += check(self);
  }
  std::unique_lock lock(mu);
  if (!halted && !self->internal) {
    std::string problem = ended_with;
    if (self->irql != PASSIVE_LEVEL) problem = "ended at IRQL " + std::to_string(self->irql);
    if (!self->spin_locks.empty()) problem = "ended holding a spin lock";
    if (self->mutexes_owned) problem = "ended owning a mutex";
    if (!problem.empty()) {
      HaltLocked(Outcome::kBugCheck, "*** STOP: thread " + DescribeThread(self) + " " + problem);
    }
  }
  self->state = _KTHREAD::State::kTerminated;
  self->Header.SignalState = 1;
  SignalLocked(&self->Header);
  TraceLocked(TraceEvent::Kind::kThreadEnd, self->id);
  self->body = nullptr;

  if (self == main && !halted) {
    std::string still_running;
    for (auto& t : threads) {
      if (t->state != _KTHREAD::State::kTerminated && !t->daemon && !t->internal) {
        still_running += "\n  thread " + DescribeThread(t.get()) + " " + StateName(t->state);
        if (t->waiting_on) still_running += ", waits on " + DescribeObject(t->waiting_on);
        auto label = t->waiting_on ? labels.find(t->waiting_on) : labels.end();
        if (label != labels.end()) still_running += " (" + label->second + ")";
      }
    }
    if (!still_running.empty()) {
      HaltLocked(Outcome::kBugCheck,
                 "*** STOP: system threads still running at shutdown:" + still_running);
    } else {
      // Nothing else runs in simulation while main is on the processor; in real mode only
      // daemons are left, and checks must not rely on them being quiet.
      lock.unlock();
      std::string failures;
      for (auto& check : shutdown_checks) failures += check();
      std::string leaks = kernel.pool().LeakReport();
      if (!leaks.empty()) failures += "pool still allocated at shutdown:\n" + leaks;
      lock.lock();
      std::string open_handles;
      for (auto& [value, t] : handles) {
        open_handles += "\n  handle " + std::to_string(value) + " to thread " + DescribeThread(t);
      }
      if (!open_handles.empty())
        failures += "handles still open at shutdown:" + open_handles + "\n";
      // A thread holds the kernel's own reference and one per open handle; the rest were taken
      // with ObReferenceObjectByHandle and never given back.
      std::string held;
      for (auto& t : threads) {
        int open = 0;
        for (auto& [value, target] : handles) open += target == t.get() ? 1 : 0;
        int taken = t->references - 1 - open;
        if (taken > 0) {
          held += "\n  " + std::to_string(taken) + " to thread " + DescribeThread(t.get());
        }
      }
      if (!held.empty()) failures += "object references still held at shutdown:" + held + "\n";
      if (failures.empty()) {
        HaltLocked(Outcome::kCompleted, "");
      } else {
        HaltLocked(Outcome::kBugCheck, "*** STOP: verifier at shutdown: " + failures);
      }
    }
  }

  if (mode == Mode::kSimulation) {
    SwitchLocked(lock, self);
  } else if (halted) {
    bool all_ended = std::all_of(threads.begin(), threads.end(),
                                 [](auto& t) { return t->state == _KTHREAD::State::kTerminated; });
    if (all_ended) {
      done = true;
      done_cv.notify_all();
    }
  }
}

void Kernel::Internals::InterruptLoop(ThreadPtr self) {
  for (;;) {
    std::unique_lock lock(mu);
    while (dpc_queue.empty() && due_device_events.empty()) {
      BlockLocked(lock, self, nullptr, kNoDeadline);
    }
    self->irql = DISPATCH_LEVEL;
    // A DPC and a device's event due together run in either order, drawn from the seed: which
    // interrupt came first is not the driver's to know ("Introduction to DPC Objects").
    bool dpc_first = due_device_events.empty() || (!dpc_queue.empty() && rng() % 2 == 0);
    if (dpc_first) {
      PKDPC dpc = dpc_queue.front();
      dpc_queue.pop_front();
      dpc->Inserted = FALSE;
      TraceLocked(TraceEvent::Kind::kDpc, 0);
      lock.unlock();
      RoutineScope scope("deferred routine", reinterpret_cast<const void*>(dpc->DeferredRoutine));
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    } else {
      auto fn = std::move(due_device_events.front().fn);
      due_device_events.pop_front();
      lock.unlock();
      fn();
    }
    if (self->irql != DISPATCH_LEVEL || !self->spin_locks.empty()) {
      kernel.BugCheck("DPC", "a deferred routine or device event returned at IRQL " +
                                 std::to_string(self->irql) +
                                 (self->spin_locks.empty() ? "" : " holding a spin lock"));
    }
  }
}

void Kernel::Internals::ClockLoop() {
  std::unique_lock lock(mu);
  while (!halted) {
    Ticks next = kNoDeadline;
    if (!timers.empty()) next = timers.begin()->first.first;
    if (!device_events.empty()) next = std::min(next, device_events.begin()->first.first);
    if (next == kNoDeadline) {
      clock_cv.wait(lock);
    } else {
      clock_cv.wait_until(lock, real_boot + std::chrono::nanoseconds(next * 100));
    }
    if (!halted) ExpireDueLocked(NowLocked());
  }
}

// ---------------------------------------------------------------------------------------------

Kernel::Kernel(KernelOptions options)
    : options_(options),
      debug_log_(options.echo_debug_print),
      internals_(std::make_unique<Internals>(*this, options)) {}

Kernel::~Kernel() {
  for (auto& t : internals_->threads) {
    if (t->os_thread.joinable()) t->os_thread.join();
  }
}

Kernel& Kernel::Current() { return *CurrentThread()->kernel; }

Kernel* Kernel::CurrentOrNull() { return tls_current ? tls_current->kernel : nullptr; }

RunResult Kernel::Run(std::function<void()> body) {
  auto& in = *internals_;
  {
    std::unique_lock lock(in.mu);
    in.real_boot = std::chrono::steady_clock::now();
    in.interrupt = in.CreateThreadLocked("interrupt", nullptr, HIGH_PRIORITY, true);
    in.interrupt->internal = true;
    ThreadPtr interrupt = in.interrupt;
    interrupt->body = [&in, interrupt] { in.InterruptLoop(interrupt); };
    in.main = in.CreateThreadLocked("main", std::move(body), 8, false);
    in.StartOsThread(in.interrupt);
    in.StartOsThread(in.main);
    if (in.mode == Mode::kReal) {
      in.clock_thread = std::thread([&in] { in.ClockLoop(); });
    } else {
      in.SwitchLocked(lock, nullptr);
    }
    in.done_cv.wait(lock, [&] { return in.done; });
  }
  if (in.clock_thread.joinable()) in.clock_thread.join();
  for (auto& t : in.threads) {
    if (t->os_thread.joinable()) t->os_thread.join();
  }
  return in.result;
}

Ticks Kernel::Now() {
  std::lock_guard lock(internals_->mu);
  return internals_->NowLocked();
}

PKTHREAD Kernel::Spawn(std::string name, std::function<void()> fn, SpawnOptions options) {
  auto& in = *internals_;
  std::lock_guard lock(in.mu);
  ThreadPtr t =
      in.CreateThreadLocked(std::move(name), std::move(fn), options.priority, options.daemon);
  t->exact_time = options.daemon;
  in.StartOsThread(t);
  return t;
}

EventId Kernel::ScheduleAt(Ticks when, std::function<void()> fn) {
  auto& in = *internals_;
  std::lock_guard lock(in.mu);
  EventId id = in.next_event_id++;
  DueKey key{when, in.sequence++};
  in.device_events[key] = Internals::DeviceEvent{id, std::move(fn)};
  in.device_event_keys[id] = key;
  in.clock_cv.notify_all();
  return id;
}

EventId Kernel::ScheduleAfter(Ticks delay, std::function<void()> fn) {
  return ScheduleAt(Now() + delay, std::move(fn));
}

bool Kernel::CancelScheduled(EventId id) {
  auto& in = *internals_;
  std::lock_guard lock(in.mu);
  auto it = in.device_event_keys.find(id);
  if (it == in.device_event_keys.end()) {
    // Due but not yet run (the interrupt context had not come to it): it does not run either.
    auto due = std::find_if(in.due_device_events.begin(), in.due_device_events.end(),
                            [id](const Internals::DeviceEvent& e) { return e.id == id; });
    if (due == in.due_device_events.end()) return false;
    in.due_device_events.erase(due);
    return true;
  }
  in.device_events.erase(it->second);
  in.device_event_keys.erase(it);
  return true;
}

void Kernel::SleepFor(Ticks delay) {
  auto& in = *internals_;
  ThreadPtr self = CurrentThread();
  if (self->irql != PASSIVE_LEVEL) BugCheck("SleepFor", "called above PASSIVE_LEVEL");
  if (delay <= 0) {
    Yield();
    return;
  }
  std::unique_lock lock(in.mu);
  in.BlockLocked(lock, self, nullptr, in.NowLocked() + delay);
}

uint64_t Kernel::DrawFromSeed(uint64_t bound) {
  std::lock_guard lock(internals_->mu);
  return bound ? internals_->model_rng() % bound : 0;
}

void Kernel::LabelObject(const void* object, std::string label) {
  std::lock_guard lock(internals_->mu);
  if (label.empty()) {
    internals_->labels.erase(object);
  } else {
    internals_->labels[object] = std::move(label);
  }
}

void Kernel::Yield() {
  auto& in = *internals_;
  ThreadPtr self = CurrentThread();
  if (in.mode == Mode::kReal) {
    std::this_thread::yield();
    return;
  }
  std::unique_lock lock(in.mu);
  in.CheckUnwindLocked(self);
  self->state = _KTHREAD::State::kReady;
  in.ready.push_back(self);
  in.SwitchLocked(lock, self);
  in.CheckUnwindLocked(self);
}

void Kernel::BugCheck(std::string_view call, std::string_view message) {
  auto& in = *internals_;
  ThreadPtr self = tls_current;
  std::ostringstream text;
  text << "*** STOP: " << call << ": " << message << " [thread " << DescribeThread(self);
  if (self) text << " at IRQL " << int(self->irql) << DescribeRoutine(self);
  {
    std::unique_lock lock(in.mu);
    text << ", " << in.NowLocked() / kTicksPerMillisecond << " ms]";
    std::fprintf(stderr, "%s\n", text.str().c_str());
    in.HaltLocked(Outcome::kBugCheck, text.str());
  }
  if (!self) std::abort();
  throw ThreadUnwind{};
}

void Kernel::CheckLegacyCall(std::string_view call, std::string_view why, const void* caller) {
  if (!legacy_platform_) return;
  ThreadPtr self = tls_current;
  // Host code (the machine's own threads, a test) may do what it likes; driver code may not.
  if (!self || (!self->system_thread && self->routines.empty())) return;
  BugCheck(call, std::string(why) + ", called from " + RoutineName(caller));
}

void Kernel::AddThreadEndCheck(std::function<std::string(PKTHREAD)> check) {
  std::lock_guard lock(internals_->mu);
  internals_->thread_end_checks.push_back(std::move(check));
}

void Kernel::AddShutdownCheck(std::function<std::string()> check) {
  std::lock_guard lock(internals_->mu);
  internals_->shutdown_checks.push_back(std::move(check));
}

std::vector<TraceEvent> Kernel::Trace() {
  std::lock_guard lock(internals_->mu);
  return internals_->trace;
}

std::vector<RunResult> RunSeeds(int count, const std::function<RunResult(uint64_t)>& scenario) {
  std::vector<RunResult> results;
  for (int seed = 1; seed <= count; ++seed) results.push_back(scenario(uint64_t(seed)));
  return results;
}

}  // namespace host::kernel
