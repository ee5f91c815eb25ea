// SmartcardLogError and the debug level: the library's reports to the host.
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "platform/dbg.h"

extern "C" {

void SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                       ULONG DumpWord) {
  host::smclib::LoggedEvent event;
  event.object = Object;
  event.code = ErrorCode;
  event.dump_word = DumpWord;
  if (Insertion && Insertion->Buffer) {
    event.insertion.assign(Insertion->Buffer, Insertion->Length / sizeof(WCHAR));
  }
  if (auto* k = host::kernel::Kernel::CurrentOrNull()) event.time = k->Now();
  DbgPrint("SMCLIB: event 0x%08X logged for object %p\n", static_cast<unsigned>(ErrorCode), Object);
  if (auto* library = host::smclib::CurrentLibrary()) library->RecordEvent(std::move(event));
}

void SmartcardSetDebugLevel(ULONG Level) {
  // Without a library service there is nobody to read the level; it is dropped.
  if (auto* library = host::smclib::CurrentLibrary()) library->set_debug_level(Level);
}

ULONG SmartcardGetDebugLevel(void) {
  if (auto* library = host::smclib::CurrentLibrary()) return library->debug_level();
  return 0;
}

}  // extern "C"
