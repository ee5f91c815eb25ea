// Everything the driver may call, in one include.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: the DDK's own declarations (platform/windows/).
#include "platform/windows/wdm.h"
#else
#include "platform/dbg.h"
#include "platform/ex.h"
#include "platform/io.h"
#include "platform/ke.h"
#include "platform/ntddser.h"
#include "platform/ntdef.h"
#include "platform/ntstatus.h"
#include "platform/ps.h"
#include "platform/rtl.h"
#include "platform/smclib.h"
#include "platform/usb.h"
#include "platform/usbdlib.h"
#include "platform/winsmcrd.h"
#endif  // WINDOWS_KERNEL_BUILD
