// The smart card library as a service of the machine: what it keeps across devices (the event log
// that SmartcardLogError fills, the debug level) and the per-device state it hides behind OsData.
//
// What is modelled, and from where. The library stands in for Windows' smart card driver library
// as a reader driver meets it, and does for the driver only what that library is documented to
// do, so that a driver that leaves its own part undone fails here as it would there. Sources are
// the Windows Driver Kit reference pages, by title.
//
// Documented, and modelled so:
// - "SmartcardInitialize function (smclib.h)", "SmartcardExit function (smclib.h)" and
//   "SMARTCARD_EXTENSION structure (smclib.h)": the driver sets Version and the sizes of
//   SmartcardRequest and SmartcardReply; the library allocates OsData and both buffers (at least
//   MIN_BUFFER_SIZE of smclib.h, 288 bytes) and frees them again at exit.
// - "SmartcardDeviceControl function (smclib.h)": the driver's device-control dispatch hands it
//   every smart card request; it calls the reader function the request needs through
//   ReaderFunction[RDF_*] and completes the request with the status that comes back, unless the
//   request stays pending with the driver.
// - "RDF_CARD_POWER callback function", "RDF_SET_PROTOCOL callback function", "RDF_TRANSMIT
//   callback function", "RDF_CARD_TRACKING callback function", "RDF_IOCTL_VENDOR callback
//   function" (smclib.h): before the call the library fills in MajorIoControlCode,
//   MinorIoControlCode (power code, protocol mask) and IoRequest. What comes back is the driver's
//   to write: for power the ATR in IoRequest.ReplyBuffer and its length in *IoRequest.Information
//   (and the ATR in CardCapabilities.ATR); for protocol selection the selected protocol in the
//   reply buffer, sizeof(ULONG) in *Information, CardCapabilities.Protocol.Selected and
//   CurrentState SCARD_SPECIFIC; for transmission the answer and its length. The library writes
//   none of these in the driver's place: the request completes with the Information the driver
//   reported, so a driver that forgets its answer hands back nothing.
// - "Buffer Descriptions for I/O Control Codes": a METHOD_BUFFERED request carries one system
//   buffer, the input first and the output over it. IoRequest.RequestBuffer and ReplyBuffer are
//   both that buffer, with the input and the output length; an empty output is the system buffer
//   with length 0, not a null pointer (null only when the request has no buffer at all).
// - "SmartcardUpdateCardCapabilities function (smclib.h)": the ATR in CardCapabilities.ATR becomes
//   the card's parameters (protocols offered, F, D, N, waiting times, historical bytes).
// - "SmartcardT0Request function (smclib.h)" and "SmartcardT0Reply function (smclib.h)": a T=0
//   command between the caller's buffers and the library's.
// - "SmartcardLogError function (smclib.h)", "SmartcardCreateLink function (smclib.h)" and the
//   remove lock ("SmartcardAcquireRemoveLock", "SmartcardReleaseRemoveLock" and
//   "SmartcardReleaseRemoveLockAndWait function (smclib.h)").
// - "IOCTL_SMARTCARD_IS_PRESENT" and "IOCTL_SMARTCARD_IS_ABSENT" with RDF_CARD_TRACKING: a request
//   that cannot be answered at once waits in OsData->NotificationIrp, and the driver completes it.
//
// Where the documentation is silent, chosen here and why:
// - The card state is the driver's alone: neither SmartcardUpdateCardCapabilities nor any request
//   changes ReaderCapabilities.CurrentState, so that a driver that leaves a state change undone is
//   seen doing so.
// - Requests the card's state or the buffers cannot serve are refused before the driver is
//   called, as every reader driver would refuse them: protocol selection without a card
//   (STATUS_NO_MEDIA); transmission unless the state is SCARD_SPECIFIC and the request's header
//   names the selected protocol (STATUS_INVALID_DEVICE_STATE); an output too small for a
//   fixed-size answer (STATUS_BUFFER_TOO_SMALL); a presence request answered at once when the
//   card is already where the caller wants it.
// - Attributes the extension holds (vendor attributes, reader capabilities, the card's ATR,
//   presence and parameters) are answered from it; the others go to the driver.
// - One device-control request at a time inside the library, so that IoRequest and the control
//   codes belong to one request while a reader function runs.
// - Misuse stops the machine, as Driver Verifier would: a reader function reporting more bytes
//   than the output buffer holds, STATUS_PENDING for a request that cannot pend, a notification
//   request still pending at SmartcardExit, a lent buffer handed back to SmartcardExit.
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
