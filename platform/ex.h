// Executive pool.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: the DDK's own declarations (platform/windows/).
#include "platform/windows/kernel.h"
#else
#include "platform/ntstatus.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
} POOL_TYPE;

extern "C" {
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
}
#endif  // WINDOWS_KERNEL_BUILD
