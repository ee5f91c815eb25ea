// Run-time library helpers, interlocked operations and DbgPrint.
#include "platform/rtl.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "host/kernel/internals.h"
#include "platform/dbg.h"

namespace {

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

extern "C" {

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  auto a = static_cast<const unsigned char*>(Source1);
  auto b = static_cast<const unsigned char*>(Source2);
  SIZE_T n = 0;
  while (n < Length && a[n] == b[n]) ++n;
  return n;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  auto bytes = USHORT(WideLength(SourceString) * sizeof(WCHAR));
  DestinationString->Length = bytes;
  DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  USHORT bytes = SourceString ? USHORT(__builtin_strlen(SourceString)) : 0;
  DestinationString->Length = bytes;
  DestinationString->MaximumLength = SourceString ? USHORT(bytes + 1) : 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                     ? SourceString->Length
                     : DestinationString->MaximumLength;
  __builtin_memcpy(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (size_t(Destination->Length) + Source->Length > Destination->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  __builtin_memcpy(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length,
                   Source->Buffer, Source->Length);
  Destination->Length = USHORT(Destination->Length + Source->Length);
  if (size_t(Destination->Length) + sizeof(WCHAR) <= Destination->MaximumLength) {
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      if (a >= u'a' && a <= u'z') a = WCHAR(a - u'a' + u'A');
      if (b >= u'a' && b <= u'z') b = WCHAR(b - u'a' + u'A');
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = char(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value);
  if (size_t(n) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = WCHAR(digits[n - 1 - i]);
  String->Length = USHORT(n * sizeof(WCHAR));
  if (size_t(n + 1) * sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

LONG InterlockedIncrement(LONG volatile* Addend) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_add(1) + 1;
}

LONG InterlockedDecrement(LONG volatile* Addend) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_sub(1) - 1;
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Target)).exchange(Value);
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_add(Value);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  std::atomic_ref<LONG>(*const_cast<LONG*>(Destination))
      .compare_exchange_strong(Comparand, Exchange);
  return Comparand;
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return std::atomic_ref<PVOID>(*const_cast<PVOID*>(Target)).exchange(Value);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand) {
  std::atomic_ref<PVOID>(*const_cast<PVOID*>(Destination))
      .compare_exchange_strong(Comparand, Exchange);
  return Comparand;
}

ULONG DbgPrint(PCSTR Format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(buffer, sizeof buffer, Format, args);
  va_end(args);
  if (auto* k = host::kernel::Kernel::CurrentOrNull()) {
    k->debug_log().Append(buffer);
  } else {
    std::fputs(buffer, stderr);
  }
  return STATUS_SUCCESS;
}

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR) {
  std::string message = std::string(static_cast<const char*>(FailedAssertion)) + " at " +
                        static_cast<const char*>(FileName) + ":" + std::to_string(LineNumber);
  host::kernel::Kernel::Current().BugCheck("ASSERT", message);
}

}  // extern "C"
