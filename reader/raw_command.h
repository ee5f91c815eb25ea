// The raw reader command (IOCTL_RAW_READER_COMMAND): a command for the reader itself, sent over
// the reader link on an application's behalf.
#pragma once
#include "platform/wdm.h"

// Device-control code of the raw reader command: 0x3100DC.
#define IOCTL_RAW_READER_COMMAND SCARD_CTL_CODE(55)
static_assert(IOCTL_RAW_READER_COMMAND == 0x3100DC, "IOCTL_RAW_READER_COMMAND");

// Carries out the raw reader command in Irp. The caller holds LinkMutex and has checked that the
// request has a system buffer and non-empty input and output. When it sets *Handled to TRUE it
// has completed the request itself and returns its status; otherwise the caller completes the
// request with the returned status.
NTSTATUS RawCommandIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PBOOLEAN Handled);
