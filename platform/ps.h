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

// How a new object's handle is made. OBJ_KERNEL_HANDLE puts it in the kernel's handle table;
// without it, a handle made in an application's context (a create or device-control dispatch)
// lands in that application's own table, where the application can use or close it.
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

#define THREAD_ALL_ACCESS 0x001FFFFFL
#define SYNCHRONIZE 0x00100000L

extern "C" {
// The type of thread objects, for ObReferenceObjectByHandle.
extern POBJECT_TYPE* PsThreadType;

// The new thread runs StartRoutine(StartContext) at PASSIVE_LEVEL; a handle to it comes back in
// ThreadHandle and is closed with ZwClose. Outside the system process (outside a system thread)
// ObjectAttributes must carry OBJ_KERNEL_HANDLE.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread at once; does not return.
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
NTSTATUS ZwClose(HANDLE Handle);

// A thread handle referenced as its thread object, which can be waited on: it is signalled when
// the thread has ended. ObjectType, when given, must be *PsThreadType.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, PVOID HandleInformation);
void ObfDereferenceObject(PVOID Object);
}

#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
#endif  // WINDOWS_KERNEL_BUILD
