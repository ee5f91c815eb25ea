// System threads and handles.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: the DDK's own declarations (platform/windows/).
#include "platform/windows/kernel.h"
#else
#include "platform/ke.h"

typedef void (*PKSTART_ROUTINE)(PVOID StartContext);

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_ATTRIBUTES OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

#define THREAD_ALL_ACCESS 0x001FFFFFL
#define SYNCHRONIZE 0x00100000L

extern "C" {
// The new thread runs StartRoutine(StartContext) at PASSIVE_LEVEL; a handle to it comes back in
// ThreadHandle and is closed with ZwClose.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread at once; does not return.
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
NTSTATUS ZwClose(HANDLE Handle);

// A thread handle referenced as its thread object, which can be waited on: it is signalled when
// the thread has ended.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, PVOID HandleInformation);
void ObfDereferenceObject(PVOID Object);
}

#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
#endif  // WINDOWS_KERNEL_BUILD
