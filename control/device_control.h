// Device-control requests: the routing of every IRP_MJ_DEVICE_CONTROL and the request check
// table the smart card requests pass before they reach the smart card library.
#pragma once
#include "platform/wdm.h"

DRIVER_DISPATCH DispatchDeviceControl;
// The check of the request table: STATUS_SUCCESS when the request may go to the library,
// otherwise the status its row gives (STATUS_NOT_SUPPORTED for a code not in the table).
NTSTATUS CheckRequest(PIRP Irp);
// Waits for the link's open gate and takes LinkMutex, as AcquireReaderLink does. A request that
// waits over a wake whose device power-up could not be asked for (no memory for the request)
// would wait for a power-up nobody asks for: every second of waiting it asks itself, as an open
// does. Released with ReleaseReaderLink. PASSIVE_LEVEL.
NTSTATUS AcquireLinkAskingForPower(PDEVICE_OBJECT DeviceObject);
