// Cancellation: the cancel spin lock and IoCancelIrp.
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
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
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
  routine(device, Irp);
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
