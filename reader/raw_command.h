// The raw reader command (IOCTL_RAW_READER_COMMAND): a command for the reader itself, sent over
// the reader link on an application's behalf.
#pragma once
#include "platform/wdm.h"

// Carries out the raw reader command in Irp. The caller holds LinkMutex and has checked that the
// request has a system buffer and non-empty input and output. When it sets *Handled to TRUE it
// has completed the request itself and returns its status; otherwise the caller completes the
// request with the returned status.
NTSTATUS RawCommandIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PBOOLEAN Handled);
