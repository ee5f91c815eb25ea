// Events, mutexes and waits.
#include <string>

#include "host/kernel/internals.h"

using host::kernel::CurrentThread;
using host::kernel::Kernel;
using host::kernel::ThreadPtr;

namespace host::kernel {

bool Kernel::Internals::TryAcquireLocked(DISPATCHER_HEADER* object, ThreadPtr t) {
  switch (object->Type) {
    case KOBJECT_EVENT_SYNCHRONIZATION:
    case KOBJECT_TIMER_SYNCHRONIZATION:
      if (object->SignalState <= 0) return false;
      object->SignalState = 0;
      return true;
    case KOBJECT_MUTANT: {
      auto mutex = reinterpret_cast<PKMUTEX>(object);
      if (object->SignalState == 1) {
        mutex->OwnerThread = t;
        object->SignalState = 0;
        ++t->mutexes_owned;
        return true;
      }
      if (mutex->OwnerThread == t) {
        --object->SignalState;
        return true;
      }
      return false;
    }
    default:
      return object->SignalState > 0;
  }
}

void Kernel::Internals::SignalLocked(DISPATCHER_HEADER* object) {
  auto it = waiters.find(object);
  if (it == waiters.end()) return;
  auto queue = it->second;  // ReadyLocked edits the live one
  for (ThreadPtr t : queue) {
    if (!TryAcquireLocked(object, t)) break;
    ReadyLocked(t, STATUS_SUCCESS);
  }
}

int MutexesOwned() { return CurrentThread()->mutexes_owned; }

}  // namespace host::kernel

namespace {

bool HasWaiters(Kernel::Internals& in, void* object) {
  return in.waiters.count(static_cast<DISPATCHER_HEADER*>(object)) != 0;
}

}  // namespace

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  if (HasWaiters(in, Event)) {
    lock.unlock();
    k.BugCheck("KeInitializeEvent", "the event has threads waiting on it");
  }
  Event->Header.Type =
      Type == NotificationEvent ? KOBJECT_EVENT_NOTIFICATION : KOBJECT_EVENT_SYNCHRONIZATION;
  Event->Header.Inserted = FALSE;
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  in.SignalLocked(&Event->Header);
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

void KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) {
  Kernel::Current().CheckLegacyCall("KeReadStateEvent", "not exported by the Windows 98/Me kernel",
                                    __builtin_return_address(0));
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  return Event->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  if (HasWaiters(in, Mutex)) {
    lock.unlock();
    k.BugCheck("KeInitializeMutex", "the mutex has threads waiting on it");
  }
  Mutex->Header.Type = KOBJECT_MUTANT;
  Mutex->Header.SignalState = 1;
  Mutex->OwnerThread = nullptr;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  ThreadPtr self = CurrentThread();
  std::unique_lock lock(in.mu);
  if (Mutex->Header.Type != KOBJECT_MUTANT) {
    lock.unlock();
    k.BugCheck("KeReleaseMutex", "the object is not an initialised mutex");
  }
  if (Mutex->OwnerThread != self) {
    std::string owner = Mutex->OwnerThread
                            ? "thread " + host::kernel::DescribeThread(Mutex->OwnerThread)
                            : "nobody";
    lock.unlock();
    k.BugCheck("KeReleaseMutex",
               "releasing a mutex the thread does not own (owner: " + owner + ")");
  }
  LONG previous = Mutex->Header.SignalState;
  if (++Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    --self->mutexes_owned;
    in.SignalLocked(&Mutex->Header);  // hands it to the first waiter
  }
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  return Mutex->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  ThreadPtr self = CurrentThread();
  if (self->irql >= DISPATCH_LEVEL && (!Timeout || Timeout->QuadPart != 0)) {
    k.BugCheck("KeWaitForSingleObject",
               "a wait with a non-zero time-out at IRQL " + std::to_string(self->irql));
  }
  auto header = static_cast<DISPATCHER_HEADER*>(Object);
  switch (header->Type) {
    case KOBJECT_EVENT_NOTIFICATION:
    case KOBJECT_EVENT_SYNCHRONIZATION:
    case KOBJECT_MUTANT:
    case KOBJECT_THREAD:
    case KOBJECT_TIMER_NOTIFICATION:
    case KOBJECT_TIMER_SYNCHRONIZATION:
      break;
    default:
      k.BugCheck("KeWaitForSingleObject", "waiting on something that is not a dispatcher object");
  }
  if (header->Type == KOBJECT_THREAD) {
    k.CheckLegacyCall("KeWaitForSingleObject",
                      "a wait on a thread object crashes Windows 98/Me: wait for an event the "
                      "thread sets as its last act",
                      __builtin_return_address(0));
  }
  std::unique_lock lock(in.mu);
  if (in.TryAcquireLocked(header, self)) return STATUS_SUCCESS;
  host::kernel::Ticks deadline = host::kernel::DeadlineFor(in, Timeout);
  if (deadline <= in.NowLocked()) return STATUS_TIMEOUT;
  // A time-out ends at a clock interrupt ("KeWaitForSingleObject function (wdm.h)", "Timer
  // Accuracy").
  return in.BlockLocked(lock, self, header, in.ExpiryLocked(deadline, self));
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  ThreadPtr self = CurrentThread();
  if (self->irql >= DISPATCH_LEVEL) {
    k.BugCheck("KeDelayExecutionThread", "a delay at IRQL " + std::to_string(self->irql));
  }
  std::unique_lock lock(in.mu);
  host::kernel::Ticks deadline = host::kernel::DeadlineFor(in, Interval);
  if (deadline <= in.NowLocked()) {
    lock.unlock();
    k.Yield();
    return STATUS_SUCCESS;
  }
  // The delay ends at a clock interrupt ("KeDelayExecutionThread function (wdm.h)", "Timer
  // Accuracy").
  in.BlockLocked(lock, self, nullptr, in.ExpiryLocked(deadline, self));
  return STATUS_SUCCESS;
}

}  // extern "C"
