// The private converter interface of the configuration tool (control codes 0x222000 to
// 0x222150): the device-control routing hands such a request here.
#pragma once
#include "platform/wdm.h"

// Carries out the private request in Irp. Sets Irp->IoStatus.Information and returns the status;
// the routing completes the request. Called at PASSIVE_LEVEL in the requesting thread, without
// LinkMutex.
NTSTATUS PrivateRequestIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
