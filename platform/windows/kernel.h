// The Windows side of platform/: the kernel's own declarations, from the DDK headers MinGW-w64
// ships (ddk/wdm.h: the WDM subset, which is what Windows 98/Me offer as well), and the few names
// they lack. Every platform header includes this instead of its host declarations when
// WINDOWS_KERNEL_BUILD is set.
#pragma once
#ifndef _WIN32
#error "platform/windows/ is the Windows kernel build's side of platform/"
#endif

// MinGW-w64's intrin.h defines these two, and its ddk/wdm.h defines them again; declaring the
// intrinsics present keeps the definitions of wdm.h, which are the DDK's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// ddk/wdm.h tests NTDDI_WINVISTA, which MinGW-w64's sdkddkver.h names NTDDI_VISTA; undefined, it
// would count as 0 and let Vista's members into structures built for older systems.
#include <sdkddkver.h>
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif
#include <ddk/wdm.h>

// Wide string and character literals: WSTR("\\Device\\X"). WCHAR is wchar_t on Windows and
// char16_t on the host, so a literal names its type through this macro.
#define WSTR(s) L##s

// DEVICE_OBJECT.Flags (ntddk.h; "DEVICE_OBJECT structure (wdm.h)" lists it).
#ifndef DO_DEVICE_HAS_NAME
#define DO_DEVICE_HAS_NAME 0x00000040
#endif

// The driver's entry as the loader calls it ("DRIVER_INITIALIZE callback function (wdm.h)"):
// declared here, a definition without a calling convention is __stdcall on x86 as it must be
// (DriverEntry@8), which is what the image is linked to start at.
extern "C" DRIVER_INITIALIZE DriverEntry;
