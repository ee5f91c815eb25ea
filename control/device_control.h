// Device-control requests: the routing of every IRP_MJ_DEVICE_CONTROL and the request check
// table the smart card requests pass before they reach the smart card library.
#pragma once
#include "platform/wdm.h"

DRIVER_DISPATCH DispatchDeviceControl;
// The check of the request table: STATUS_SUCCESS when the request may go to the library,
// otherwise the status its row gives (STATUS_NOT_SUPPORTED for a code not in the table).
NTSTATUS CheckRequest(PIRP Irp);
