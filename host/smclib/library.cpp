#include "host/smclib/library.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "platform/io.h"

namespace host::smclib {

SmartcardLibrary::SmartcardLibrary(kernel::Kernel& kernel) : kernel_(kernel) {
  kernel_.SetService<SmartcardLibrary>(this);
}

SmartcardLibrary::~SmartcardLibrary() {
  if (kernel_.GetService<SmartcardLibrary>() == this) kernel_.SetService<SmartcardLibrary>(nullptr);
}

std::vector<LoggedEvent> SmartcardLibrary::Events() {
  std::lock_guard lock(mu_);
  return events_;
}

bool SmartcardLibrary::Logged(NTSTATUS code) {
  std::lock_guard lock(mu_);
  for (const auto& e : events_) {
    if (e.code == code) return true;
  }
  return false;
}

void SmartcardLibrary::RecordEvent(LoggedEvent event) {
  std::lock_guard lock(mu_);
  events_.push_back(std::move(event));
}

ULONG SmartcardLibrary::debug_level() const { return SmartcardGetDebugLevel(); }

void SmartcardLibrary::set_debug_level(ULONG level) { SmartcardSetDebugLevel(level); }

SmartcardLibrary* CurrentLibrary() {
  kernel::Kernel* k = kernel::Kernel::CurrentOrNull();
  return k ? k->GetService<SmartcardLibrary>() : nullptr;
}

}  // namespace host::smclib

namespace {

// The object an entry is about, kept in front of the packet the caller fills.
struct EntryHeader {
  PVOID object;
  ULONG size;
  alignas(8) UCHAR packet[1];
};

EntryHeader* HeaderOf(PVOID entry) {
  return reinterpret_cast<EntryHeader*>(static_cast<UCHAR*>(entry) - offsetof(EntryHeader, packet));
}

void CheckIrql(const char* call) {
  if (auto* k = host::kernel::Kernel::CurrentOrNull(); k && KeGetCurrentIrql() > DISPATCH_LEVEL) {
    k->BugCheck(call, "called above DISPATCH_LEVEL");
  }
}

}  // namespace

extern "C" {

// The host's system event log: an entry goes to the machine's library service, which keeps the
// log for tests and tools. Host memory, not pool: the entry belongs to the system, not the caller.
PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  CheckIrql("IoAllocateErrorLogEntry");
  // ERROR_LOG_MAXIMUM_SIZE of x64 Windows, whose widths the host has: larger entries are refused.
  constexpr UCHAR kLargestEntry = 240;
  if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > kLargestEntry) return nullptr;
  size_t bytes = offsetof(EntryHeader, packet) + EntrySize;
  auto header = static_cast<EntryHeader*>(::operator new(bytes, std::align_val_t(8), std::nothrow));
  if (!header) return nullptr;
  std::memset(header, 0, bytes);
  header->object = IoObject;
  header->size = EntrySize;
  return header->packet;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
  CheckIrql("IoWriteErrorLogEntry");
  EntryHeader* header = HeaderOf(ElEntry);
  auto packet = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
  host::smclib::LoggedEvent event;
  event.object = header->object;
  event.code = packet->ErrorCode;
  if (packet->DumpDataSize >= sizeof(ULONG)) event.dump_word = packet->DumpData[0];
  if (packet->NumberOfStrings > 0 && packet->StringOffset < header->size) {
    auto text = reinterpret_cast<const char16_t*>(header->packet + packet->StringOffset);
    size_t room = (header->size - packet->StringOffset) / sizeof(char16_t);
    size_t length = 0;
    while (length < room && text[length]) ++length;
    event.insertion.assign(text, length);
  }
  if (auto* k = host::kernel::Kernel::CurrentOrNull()) event.time = k->Now();
  if (auto* library = host::smclib::CurrentLibrary()) library->RecordEvent(std::move(event));
  ::operator delete(header, std::align_val_t(8));
}

}  // extern "C"
