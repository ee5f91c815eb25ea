// IRQL and spin locks. A spin lock holds the address of the thread that owns it.
#include <atomic>
#include <thread>

#include "host/kernel/internals.h"

using host::kernel::CurrentThread;
using host::kernel::DescribeThread;
using host::kernel::Kernel;
using host::kernel::ThreadPtr;

namespace host::kernel {
void LetPendingDpcsRun(Kernel& k);
}

namespace {

void LowerTo(Kernel& k, ThreadPtr self, KIRQL irql) {
  self->irql = irql;
  if (irql < DISPATCH_LEVEL) host::kernel::LetPendingDpcsRun(k);
}

}  // namespace

extern "C" {

KIRQL KeGetCurrentIrql(void) { return CurrentThread()->irql; }

void HostVerifyPagedCode(PCSTR Routine) {
  KIRQL irql = CurrentThread()->irql;
  if (irql > APC_LEVEL) {
    host::kernel::Kernel::Current().BugCheck(
        "PAGED_CODE",
        std::string(Routine) + " is pageable and was called at IRQL " + std::to_string(irql));
  }
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  ThreadPtr self = CurrentThread();
  if (NewIrql < self->irql) {
    Kernel::Current().BugCheck(
        "KeRaiseIrql", "raising to IRQL " + std::to_string(NewIrql) + ", below the current IRQL");
  }
  *OldIrql = self->irql;
  self->irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
  ThreadPtr self = CurrentThread();
  Kernel& k = Kernel::Current();
  if (NewIrql > self->irql) {
    k.BugCheck("KeLowerIrql",
               "lowering to IRQL " + std::to_string(NewIrql) + ", above the current IRQL");
  }
  LowerTo(k, self, NewIrql);
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  ThreadPtr self = CurrentThread();
  Kernel& k = Kernel::Current();
  if (self->irql != DISPATCH_LEVEL) {
    k.BugCheck("KeAcquireSpinLockAtDpcLevel", "called at IRQL " + std::to_string(self->irql));
  }
  for (const void* forbidden : self->forbidden_spin_locks) {
    if (forbidden == SpinLock) k.BugCheck("KeAcquireSpinLock", self->forbidden_why);
  }
  std::atomic_ref<ULONG_PTR> lock(*SpinLock);
  auto me = reinterpret_cast<ULONG_PTR>(self);
  ULONG_PTR holder = lock.load();
  if (holder == me)
    k.BugCheck("KeAcquireSpinLock", "acquiring a spin lock the thread holds already");
  if (k.mode() == host::kernel::Mode::kSimulation) {
    if (holder != 0) {
      k.BugCheck("KeAcquireSpinLock", "the spin lock is held by thread " +
                                          DescribeThread(reinterpret_cast<ThreadPtr>(holder)) +
                                          ", which cannot run again on this processor");
    }
    lock.store(me);
  } else {
    ULONG_PTR expected = 0;
    while (!lock.compare_exchange_weak(expected, me)) {
      expected = 0;
      std::this_thread::yield();
    }
  }
  self->spin_locks.push_back(SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  ThreadPtr self = CurrentThread();
  Kernel& k = Kernel::Current();
  if (self->irql != DISPATCH_LEVEL) {
    k.BugCheck("KeReleaseSpinLock", "releasing a spin lock at IRQL " + std::to_string(self->irql) +
                                        ", not DISPATCH_LEVEL");
  }
  std::atomic_ref<ULONG_PTR> lock(*SpinLock);
  ULONG_PTR holder = lock.load();
  if (holder != reinterpret_cast<ULONG_PTR>(self)) {
    k.BugCheck("KeReleaseSpinLock", holder ? "releasing a spin lock held by thread " +
                                                 DescribeThread(reinterpret_cast<ThreadPtr>(holder))
                                           : std::string("releasing a spin lock that is not held"));
  }
  lock.store(0);
  std::erase(self->spin_locks, static_cast<const void*>(SpinLock));
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  ThreadPtr self = CurrentThread();
  if (self->irql > DISPATCH_LEVEL) {
    Kernel::Current().BugCheck("KeAcquireSpinLock", "called at IRQL " + std::to_string(self->irql));
  }
  KIRQL old = self->irql;
  self->irql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(SpinLock);
  return old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  ThreadPtr self = CurrentThread();
  Kernel& k = Kernel::Current();
  if (NewIrql > DISPATCH_LEVEL) {
    k.BugCheck("KeReleaseSpinLock",
               "restoring IRQL " + std::to_string(NewIrql) + ", above DISPATCH_LEVEL");
  }
  LowerTo(k, self, NewIrql);
}

}  // extern "C"

namespace host::kernel {

std::vector<const void*> HeldSpinLocks() { return CurrentThread()->spin_locks; }

ForbiddenSpinLocks::ForbiddenSpinLocks(std::vector<const void*> locks, std::string why) {
  ThreadPtr self = CurrentThread();
  saved_locks_ = std::move(self->forbidden_spin_locks);
  saved_why_ = std::move(self->forbidden_why);
  self->forbidden_spin_locks = std::move(locks);
  self->forbidden_why = std::move(why);
}

ForbiddenSpinLocks::~ForbiddenSpinLocks() {
  ThreadPtr self = CurrentThread();
  self->forbidden_spin_locks = std::move(saved_locks_);
  self->forbidden_why = std::move(saved_why_);
}

}  // namespace host::kernel
