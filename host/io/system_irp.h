// Requests the operating system itself sends (Plug and Play, power, file opens and closes),
// waited for in the sending thread.
#pragma once

#include <functional>
#include <string>

#include "host/io/io_manager.h"

namespace host::io {

struct SystemResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
};

// Builds an IRP for target's stack with the given function codes (the status starts as
// STATUS_NOT_SUPPORTED, as for Plug and Play and power requests), lets fill complete the stack
// location, sends it to target and waits until its completion reaches the top. The caller is an
// emulated thread at PASSIVE_LEVEL. With must_succeed the IRP comes from the system's reserve and
// a pool failure cannot stop it (the power manager's own requests: a wake is never left undone).
SystemResult SendSystemIrp(IoManager& io, PDEVICE_OBJECT target, std::string origin, UCHAR major,
                           UCHAR minor, const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill,
                           bool must_succeed = false);

}  // namespace host::io
