// The end of the driver's system threads (permanent reading, power-up, card tracking). Each sets
// an event as its last act, because a wait on a thread object crashes Windows 98/Me. After that
// event the thread still runs a few of the driver's instructions on its way to
// PsTerminateSystemThread, so where the platform can wait on a thread object the stop waits for
// the thread itself too: the driver's image must not be unloaded under it.
#pragma once
#include "platform/wdm.h"

// Takes a reference on a system thread just created, for ForgetSystemThread. *Thread is NULL
// when the object cannot be had: the end is then known by the last-act event alone. The handle
// stays the caller's. PASSIVE_LEVEL.
NTSTATUS ReferenceSystemThread(HANDLE Handle, PKTHREAD* Thread);

// After the thread's last-act event: waits for the thread to end (not on Windows 98/Me), then
// drops the reference. Thread may be NULL. PASSIVE_LEVEL.
NTSTATUS ForgetSystemThread(PKTHREAD Thread);
