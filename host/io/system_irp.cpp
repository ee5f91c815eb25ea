#include "host/io/system_irp.h"

#include <memory>

#include "host/io/state.h"

namespace host::io {

SystemResult SendSystemIrp(IoManager& io, PDEVICE_OBJECT target, std::string origin, UCHAR major,
                           UCHAR minor, const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill,
                           bool must_succeed) {
  RequireIrql("SendSystemIrp", PASSIVE_LEVEL);
  // The waiter outlives both the wait and the completion, whichever ends last.
  struct Waiter {
    KEVENT done;
    SystemResult result;
  };
  auto waiter = std::make_shared<Waiter>();
  KeInitializeEvent(&waiter->done, NotificationEvent, FALSE);
  PIRP irp = io.AllocateSystemIrp(
      target->StackSize, std::move(origin),
      [waiter](PIRP irp) {
        waiter->result = SystemResult{irp->IoStatus.Status, irp->IoStatus.Information};
        KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
      },
      must_succeed);
  if (!irp) return SystemResult{STATUS_INSUFFICIENT_RESOURCES, 0};
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (fill) fill(irp, next);
  if (major == IRP_MJ_POWER) {
    PoCallDriver(target, irp);
  } else {
    IofCallDriver(target, irp);
  }
  KeWaitForSingleObject(&waiter->done, Executive, KernelMode, FALSE, nullptr);
  return waiter->result;
}

}  // namespace host::io
