// System threads, their handles and object references.
#include "host/kernel/internals.h"
#include "platform/ps.h"

using host::kernel::CurrentThread;
using host::kernel::Kernel;
using host::kernel::ThreadPtr;

// The one object type here: handles name threads only.
struct _OBJECT_TYPE {
  const char* name;
};

namespace {
_OBJECT_TYPE thread_type{"Thread"};
POBJECT_TYPE thread_type_pointer = &thread_type;
}  // namespace

extern "C" {

POBJECT_TYPE* PsThreadType = &thread_type_pointer;

// Only system threads run in the system process. Every other thread of the machine (the main
// thread, an application's, a host thread sending requests) may be an application's context, so a
// handle made there without OBJ_KERNEL_HANDLE would land in that application's handle table; the
// documented rule is stopped on at once.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  Kernel& k = Kernel::Current();
  ThreadPtr self = CurrentThread();
  if (self->irql != PASSIVE_LEVEL) {
    k.BugCheck("PsCreateSystemThread", "called at IRQL " + std::to_string(self->irql));
  }
  bool kernel_handle =
      ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
  if (!self->system_thread && !kernel_handle) {
    k.BugCheck("PsCreateSystemThread",
               "called outside the system process without OBJ_KERNEL_HANDLE: the thread's handle "
               "would land in the calling application's handle table");
  }
  // Creating a thread takes pool; an injected failure shows as the documented status.
  void* probe = k.pool().Allocate(NonPagedPool, 1, host::kernel::MakeTag("Thre"),
                                  __builtin_return_address(0));
  if (!probe) return STATUS_INSUFFICIENT_RESOURCES;
  k.pool().Free(probe, std::nullopt);

  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  // Threads are named after their start routine, so that reports read like a debugger's.
  ThreadPtr t = in.CreateThreadLocked(
      host::kernel::RoutineName(reinterpret_cast<const void*>(StartRoutine)),
      [StartRoutine, StartContext] { StartRoutine(StartContext); }, 8, false);
  t->system_thread = true;
  uintptr_t handle = in.next_handle;
  in.next_handle += 4;
  in.handles[handle] = t;
  ++t->references;
  *ThreadHandle = reinterpret_cast<HANDLE>(handle);
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t(4));
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(uintptr_t(t->id));
  }
  in.StartOsThread(t);
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
  Kernel& k = Kernel::Current();
  ThreadPtr self = CurrentThread();
  if (!self->system_thread) {
    k.BugCheck("PsTerminateSystemThread", "the calling thread is not a system thread");
  }
  if (self->irql != PASSIVE_LEVEL) {
    k.BugCheck("PsTerminateSystemThread", "called at IRQL " + std::to_string(self->irql));
  }
  throw host::kernel::ThreadUnwind{};
}

NTSTATUS ZwClose(HANDLE Handle) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  auto it = in.handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == in.handles.end()) {
    lock.unlock();
    k.BugCheck("ZwClose", "closing a handle that is not open");
  }
  --it->second->references;
  in.handles.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE, PVOID* Object, PVOID) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  auto it = in.handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == in.handles.end()) return STATUS_INVALID_HANDLE;
  if (ObjectType != nullptr && ObjectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  ++it->second->references;
  *Object = it->second;
  return STATUS_SUCCESS;
}

void ObfDereferenceObject(PVOID Object) {
  Kernel& k = Kernel::Current();
  auto& in = k.internals();
  std::unique_lock lock(in.mu);
  auto t = static_cast<ThreadPtr>(Object);
  if (t->references <= 1) {
    lock.unlock();
    k.BugCheck("ObDereferenceObject", "dereferencing an object that holds no reference");
  }
  --t->references;
}

PKTHREAD KeGetCurrentThread(void) { return CurrentThread(); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  KPRIORITY previous = Thread->priority;
  Thread->priority = Priority;
  return previous;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
  auto& in = Kernel::Current().internals();
  std::unique_lock lock(in.mu);
  return Thread->priority;
}

}  // extern "C"
