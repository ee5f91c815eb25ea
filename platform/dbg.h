// Kernel debugger output.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: the DDK's own declarations (platform/windows/).
#include "platform/windows/kernel.h"
#else
#include "platform/ntdef.h"

extern "C" {
ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
}

extern "C" void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);

#ifdef DBG
#define ASSERT(e) ((e) ? (void)0 : RtlAssert((PVOID) #e, (PVOID)__FILE__, __LINE__, nullptr))
#else
#define ASSERT(e) ((void)0)
#endif

// Pageable code: Windows may page it out, so it must never run above APC_LEVEL. The host stops
// the machine naming the routine when it does (Windows' checked build asserts).
extern "C" void HostVerifyPagedCode(PCSTR Routine);
#define PAGED_CODE() HostVerifyPagedCode(__func__)
#endif  // WINDOWS_KERNEL_BUILD
