// The smart card library as a service of the machine: what it keeps across devices (the event log
// that SmartcardLogError fills, the debug level) and the per-device state it hides behind OsData.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/kernel/pool.h"
#include "platform/smclib.h"

namespace host::smclib {

// Pool tag of everything the library allocates for a device.
inline constexpr ULONG kLibraryTag = kernel::MakeTag("SmCl");

// Smallest request and reply buffers the library hands out, as the documented library does.
inline constexpr ULONG kMinimumBufferSize = 288;

// Oldest extension layout the library accepts in SMARTCARD_EXTENSION.Version.
inline constexpr ULONG kOldestSupportedVersion = 0x100;

struct LoggedEvent {
  const void* object = nullptr;
  NTSTATUS code = 0;
  std::u16string insertion;
  ULONG dump_word = 0;
  kernel::Ticks time = 0;
};

// Create one per machine before the driver runs; it registers itself as the kernel's service.
// Without it the library still works; events then go to the debug log only.
class SmartcardLibrary {
 public:
  explicit SmartcardLibrary(kernel::Kernel& kernel);
  ~SmartcardLibrary();
  SmartcardLibrary(const SmartcardLibrary&) = delete;
  SmartcardLibrary& operator=(const SmartcardLibrary&) = delete;

  std::vector<LoggedEvent> Events();
  bool Logged(NTSTATUS code);
  void RecordEvent(LoggedEvent event);

  ULONG debug_level() const { return debug_level_; }
  void set_debug_level(ULONG level) { debug_level_ = level; }

 private:
  kernel::Kernel& kernel_;
  std::mutex mu_;
  std::vector<LoggedEvent> events_;
  ULONG debug_level_ = 0;
};

// The library of the calling thread's machine, or null when none was created.
SmartcardLibrary* CurrentLibrary();

// Remove-lock acquisitions outstanding with one tag.
struct RemoveLockTag {
  ULONG tag;
  LONG count;
};
inline constexpr size_t kRemoveLockTags = 16;

// What OsData points to: the part the driver sees, then the library's own.
struct HostOsData {
  OS_DEP_DATA os;
  PUCHAR own_request_buffer;  // as allocated, so SmartcardExit can tell a lent buffer
  PUCHAR own_reply_buffer;
  LONG remove_lock_count;  // open acquisitions
  // The same by tag, for the verifier; guarded by remove_lock_guard.
  RemoveLockTag remove_lock_tags[kRemoveLockTags];
  KSPIN_LOCK remove_lock_guard;
  BOOLEAN remove_pending;   // SmartcardReleaseRemoveLockAndWait was called
  KEVENT remove_lock_free;  // notification; set when remove_pending and the count is 0
  // One device-control request at a time in the library (and so in a reader function); owns
  // os.CurrentIrp, IoRequest, the control codes and LastError. Waited for at PASSIVE_LEVEL only.
  // A driver that serialises its own calls (under its own mutex, taken before this one) never
  // waits here; nothing in the library takes a driver lock while holding it.
  KMUTEX request_mutex;
  // Set through SCARD_ATTR_SUPRESS_T1_IFS_REQUEST: the driver asks the library not to send an
  // IFS request of its own when T=1 starts.
  BOOLEAN suppress_t1_ifs_request;
};

inline HostOsData* HostOsDataOf(PSMARTCARD_EXTENSION extension) {
  return reinterpret_cast<HostOsData*>(extension->OsData);
}

// "tag 'Open' x1, untagged x2": the remove lock's outstanding acquisitions; empty when none.
std::string RemoveLockHolders(HostOsData& os);

}  // namespace host::smclib
