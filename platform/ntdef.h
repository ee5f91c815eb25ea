// Basic NT types of the Windows widths, list and string structures, and the helper macros the
// driver uses. Driver code is built without the C and C++ standard headers, so everything it
// needs from the language runtime comes from compiler builtins declared here.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: the DDK's own declarations (platform/windows/).
#include "platform/windows/kernel.h"
#else

#define NTAPI
#define IN
#define OUT
#define OPTIONAL
#define VOID void

typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int LONG;  // 32 bits, as on Windows
typedef unsigned int ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef int INT;
typedef unsigned int UINT;
typedef __SIZE_TYPE__ SIZE_T;
typedef __INTPTR_TYPE__ LONG_PTR;
typedef __UINTPTR_TYPE__ ULONG_PTR;
typedef char16_t WCHAR;  // UTF-16 code unit; driver string literals are written WSTR("...")
typedef UCHAR BOOLEAN;
typedef UCHAR BYTE;
typedef USHORT WORD;
typedef ULONG DWORD;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE;

typedef UCHAR* PUCHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef CHAR* PSTR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef ULONG_PTR* PULONG_PTR;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef HANDLE* PHANDLE;
typedef SIZE_T* PSIZE_T;
typedef const void* PCVOID;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

#define FIELD_OFFSET(type, field) ((LONG) __builtin_offsetof(type, field))
// The field's offset from the compiler, not from a member of a null pointer (undefined, and
// reported by clang's UBSan).
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR) __builtin_offsetof(type, field)))
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR*)((ULONG_PTR)(ArgumentPointer)) != (CHAR*)NULL)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
// Members that Windows aligns to a pointer's size in 64-bit builds (all builds here).
#define POINTER_ALIGNMENT __attribute__((aligned(sizeof(PVOID))))
#define ARRAYSIZE(A) (sizeof(A) / sizeof((A)[0]))
// A wide string or character literal of WCHAR: WSTR("\\Device\\X"). WCHAR is char16_t here and
// wchar_t on Windows, so literals name their type through this macro.
#define WSTR(s) u##s

// Doubly linked list helpers, as the WDK defines them inline.
inline void InitializeListHead(PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead->Blink = ListHead;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
  return (BOOLEAN)(ListHead->Flink == ListHead);
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = Entry->Flink;
  PLIST_ENTRY Blink = Entry->Blink;
  Blink->Flink = Flink;
  Flink->Blink = Blink;
  return (BOOLEAN)(Flink == Blink);
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Flink;
  RemoveEntryList(Entry);
  return Entry;
}
inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = Blink;
  Blink->Flink = Entry;
  ListHead->Blink = Entry;
}
inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = ListHead->Flink;
  Entry->Flink = Flink;
  Entry->Blink = ListHead;
  Flink->Blink = Entry;
  ListHead->Flink = Entry;
}
#endif  // WINDOWS_KERNEL_BUILD
