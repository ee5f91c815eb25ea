// Cancellation: the cancel spin lock and IoCancelIrp.
#include <atomic>

#include "host/io/state.h"

using host::io::IoManager;

extern "C" {

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KfAcquireSpinLock(&IoManager::Current().state().cancel_lock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  KfReleaseSpinLock(&IoManager::Current().state().cancel_lock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  host::io::RequireIrql("IoCancelIrp", DISPATCH_LEVEL);
  IoManager& io = IoManager::Current();
  auto record = host::io::LiveIrp(io, "IoCancelIrp", Irp);
  // The IRP may complete inside IoCancelIrp or later from another context, as its driver
  // decides ("IoCancelIrp function (wdm.h)", "Canceling IRPs"). A completion routine that takes
  // a spin lock the canceller holds here deadlocks on the first course, so it is a stop on both.
  std::vector<const void*> held = host::kernel::HeldSpinLocks();
  if (!held.empty()) {
    std::lock_guard lock(io.state().mu);
    record->cancel_locks = held;
    record->cancelled_by = "taking a spin lock that was held by the thread that cancelled IRP #" +
                           std::to_string(record->serial) + " (" + record->origin +
                           ") with IoCancelIrp; when the IRP completes inside IoCancelIrp, this "
                           "deadlocks";
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Windows declares Cancel volatile: drivers read it without the cancel spin lock, after
  // IoSetCancelRoutine, while another processor cancels.
  std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  // The routine releases the cancel spin lock and usually completes the IRP: from here on the
  // IRP may be gone.
  {
    host::kernel::RoutineScope scope("cancel routine", reinterpret_cast<const void*>(routine));
    routine(device, Irp);
  }
  auto holder = io.state().cancel_lock;
  if (holder == reinterpret_cast<ULONG_PTR>(KeGetCurrentThread())) {
    io.kernel().BugCheck(
        "IoCancelIrp",
        "cancel routine " + host::io::RoutineName(reinterpret_cast<const void*>(routine)) +
            " returned holding the cancel spin lock (IRP #" + std::to_string(record->serial) + ")");
  }
  return TRUE;
}

}  // extern "C"
