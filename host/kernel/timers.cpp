// Timers, deferred procedure calls and the clock queries.
#include <algorithm>

#include "host/kernel/internals.h"

using host::kernel::CurrentThread;
using host::kernel::Kernel;
using host::kernel::ThreadPtr;
using host::kernel::Ticks;

namespace host::kernel {

void Kernel::Internals::CancelTimerLocked(PKTIMER timer) {
  auto it = timer_keys.find(timer);
  if (it != timer_keys.end()) {
    timers.erase(it->second);
    timer_keys.erase(it);
  }
  timer->Header.Inserted = FALSE;
}

}  // namespace host::kernel

namespace {

constexpr ULONG kTimeIncrement = ULONG(host::kernel::kClockTick);

// What the machine's software reads as the time: on the clock tick it advances by whole ticks
// ("KeQueryInterruptTime function (wdm.h)", "KeQuerySystemTime function (wdm.h)").
Ticks SoftwareTime(Kernel& k) {
  Ticks now = k.Now();
  auto& in = k.internals();
  if (!in.OnClockTick(host::kernel::CurrentThreadOrNull())) return now;
  return now / host::kernel::kClockTick * host::kernel::kClockTick;
}

void CheckAtMostDispatch(Kernel& k, const char* call) {
  ThreadPtr self = CurrentThread();
  if (self->irql > DISPATCH_LEVEL) {
    k.BugCheck(call, "called at IRQL " + std::to_string(self->irql));
  }
}

// Runs queued DPCs now if the caller's IRQL lets them pre-empt it, as on one processor.
void LetDpcsRun(Kernel& k) {
  auto& in = k.internals();
  ThreadPtr self = CurrentThread();
  if (in.mode != host::kernel::Mode::kSimulation || self->irql >= DISPATCH_LEVEL) return;
  {
    std::unique_lock lock(in.mu);
    if (in.dpc_queue.empty()) return;
    in.preempted = self;
  }
  k.Yield();
}

}  // namespace

namespace host::kernel {
void LetPendingDpcsRun(Kernel& k) { LetDpcsRun(k); }
}  // namespace host::kernel

extern "C" {

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  if (in.timer_keys.count(Timer)) {
    lock.unlock();
    k.BugCheck("KeInitializeTimer", "initialising a timer that is set");
  }
  Timer->Header.Type =
      Type == NotificationTimer ? KOBJECT_TIMER_NOTIFICATION : KOBJECT_TIMER_SYNCHRONIZATION;
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  Kernel& k = Kernel::Current();
  CheckAtMostDispatch(k, "KeSetTimer");
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  if (Timer->Header.Type != KOBJECT_TIMER_NOTIFICATION &&
      Timer->Header.Type != KOBJECT_TIMER_SYNCHRONIZATION) {
    lock.unlock();
    k.BugCheck("KeSetTimer", "the timer was never initialised");
  }
  BOOLEAN was_set = Timer->Header.Inserted;
  in.CancelTimerLocked(Timer);
  // A timer expires at the clock interrupt at or after its due time ("KeSetTimer function
  // (wdm.h)", "Timer Accuracy").
  Ticks due = host::kernel::DeadlineFor(in, &DueTime);
  if (due > in.NowLocked()) due = in.ExpiryLocked(due, CurrentThread());
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = TRUE;
  Timer->DueTime.QuadPart = ULONGLONG(due);
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  host::kernel::DueKey key{due, in.sequence++};
  in.timers[key] = Timer;
  in.timer_keys[Timer] = key;
  in.clock_cv.notify_all();
  return was_set;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  Kernel& k = Kernel::Current();
  CheckAtMostDispatch(k, "KeCancelTimer");
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  BOOLEAN was_set = Timer->Header.Inserted;
  in.CancelTimerLocked(Timer);
  return was_set;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  return Timer->Header.SignalState > 0;
}

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  if (std::find(in.dpc_queue.begin(), in.dpc_queue.end(), Dpc) != in.dpc_queue.end()) {
    lock.unlock();
    k.BugCheck("KeInitializeDpc", "initialising a DPC that is queued");
  }
  Dpc->Type = 0x13;
  Dpc->Inserted = FALSE;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  {
    std::unique_lock lock(in.mu);
    if (Dpc->Inserted) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    in.QueueDpcLocked(Dpc);
  }
  LetDpcsRun(k);
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  auto it = std::find(in.dpc_queue.begin(), in.dpc_queue.end(), Dpc);
  if (it == in.dpc_queue.end()) return FALSE;
  in.dpc_queue.erase(it);
  Dpc->Inserted = FALSE;
  return TRUE;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = host::kernel::SystemTimeAtBoot() + SoftwareTime(Kernel::Current());
}

ULONGLONG KeQueryInterruptTime(void) { return ULONGLONG(SoftwareTime(Kernel::Current())); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = Kernel::Current().Now() / kTimeIncrement;
}

ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

}  // extern "C"
