// ExAllocatePoolWithTag and friends, with the verifier's checks on the calls.
#include "host/kernel/internals.h"

using host::kernel::CurrentThread;
using host::kernel::Kernel;
using host::kernel::Pool;
using host::kernel::ThreadPtr;

namespace {

void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* site) {
  Kernel& k = Kernel::Current();
  ThreadPtr self = CurrentThread();
  bool paged = type == PagedPool || type == PagedPoolCacheAligned;
  if (self->irql > DISPATCH_LEVEL || (paged && self->irql >= DISPATCH_LEVEL)) {
    k.BugCheck("ExAllocatePoolWithTag", std::string(paged ? "paged" : "non-paged") +
                                            " pool at IRQL " + std::to_string(self->irql));
  }
  return k.pool().Allocate(type, bytes, tag, site);
}

// Freeing memory that the kernel still uses (an object threads wait on, a timer that is set, a
// queued DPC) corrupts the machine later; the verifier catches it at the free.
void CheckNotInUse(Kernel& k, PVOID block, size_t bytes) {
  auto& in = k.internals();
  std::string problem;
  {
    std::unique_lock lock(in.mu);
    auto begin = static_cast<const char*>(block);
    auto inside = [&](const void* object) {
      return object >= block && static_cast<const char*>(object) < begin + bytes;
    };
    for (auto& [object, queue] : in.waiters) {
      (void)queue;
      if (inside(object)) problem = "freeing pool holding an object that threads wait on";
    }
    for (auto& [timer, key] : in.timer_keys) {
      (void)key;
      if (inside(timer)) problem = "freeing pool holding a timer that is set";
    }
    for (PKDPC dpc : in.dpc_queue) {
      if (inside(dpc)) problem = "freeing pool holding a DPC that is queued";
    }
  }
  if (!problem.empty()) k.BugCheck("ExFreePool", problem);
}

void Free(PVOID block, std::optional<ULONG> tag, const char* call) {
  Kernel& k = Kernel::Current();
  ThreadPtr self = CurrentThread();
  if (self->irql > DISPATCH_LEVEL) k.BugCheck(call, "called at IRQL " + std::to_string(self->irql));
  if (!block) k.BugCheck(call, "freeing a NULL pointer");
  if (auto bytes = k.pool().SizeOf(block)) CheckNotInUse(k, block, *bytes);
  switch (k.pool().Free(block, tag)) {
    case Pool::FreeResult::kOk:
      return;
    case Pool::FreeResult::kFreedTwice:
      k.BugCheck(call, "freeing pool that was freed already");
    case Pool::FreeResult::kNeverAllocated:
      k.BugCheck(call, "freeing an address that was never allocated from pool");
    case Pool::FreeResult::kWrongTag:
      k.BugCheck(call, "freeing pool with a tag other than the one it was allocated with");
  }
}

}  // namespace

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Allocate(PoolType, NumberOfBytes, host::kernel::MakeTag("None"),
                  __builtin_return_address(0));
}

void ExFreePool(PVOID P) { Free(P, std::nullopt, "ExFreePool"); }

void ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, Tag, "ExFreePoolWithTag"); }

}  // extern "C"
