// SmartcardLogError and the debug level: the library's reports to the system.
#include "host/smclib/library_state.h"
#include "platform/io.h"
#include "platform/rtl.h"

namespace {

// One level for the whole system, as the library is loaded once; read and written at any IRQL.
LONG debug_level = 0;

// The largest entry IoAllocateErrorLogEntry hands out on every system (ERROR_LOG_MAXIMUM_SIZE
// of x86 Windows; x64 allows 240): the insertion is cut to what fits behind the packet, so that
// the event is logged rather than lost for a long name.
constexpr ULONG kLargestEntry = 152;

}  // namespace

extern "C" {

// The event goes to the system event log: the code, the dump word as the entry's dump data, and
// the insertion as its one string. An entry the log cannot take is lost, as on Windows; the
// debug output says so either way.
void NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                             ULONG DumpWord) {
  DbgPrint("SMCLIB: event 0x%08X logged for object %p\n", unsigned(ErrorCode), Object);
  const ULONG fixed = ULONG(sizeof(IO_ERROR_LOG_PACKET));
  ULONG characters = 0;
  if (Insertion && Insertion->Buffer) {
    characters = Insertion->Length / sizeof(WCHAR);
    const ULONG room = (kLargestEntry - fixed) / sizeof(WCHAR) - 1;
    if (characters > room) characters = room;
  }
  const ULONG strings = Insertion && Insertion->Buffer ? 1 : 0;
  const ULONG size = fixed + strings * (characters + 1) * ULONG(sizeof(WCHAR));
  auto entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Object, UCHAR(size)));
  if (!entry) return;
  RtlZeroMemory(entry, size);
  entry->ErrorCode = ErrorCode;
  entry->DumpDataSize = sizeof(ULONG);
  entry->DumpData[0] = DumpWord;
  entry->NumberOfStrings = USHORT(strings);
  entry->StringOffset = USHORT(fixed);
  if (strings) {
    auto text = reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(entry) + fixed);
    RtlCopyMemory(text, Insertion->Buffer, characters * sizeof(WCHAR));
    text[characters] = 0;
  }
  IoWriteErrorLogEntry(entry);
}

void NTAPI SmartcardSetDebugLevel(ULONG Level) { InterlockedExchange(&debug_level, LONG(Level)); }

ULONG NTAPI SmartcardGetDebugLevel(void) {
  return ULONG(InterlockedCompareExchange(&debug_level, 0, 0));
}

}  // extern "C"
