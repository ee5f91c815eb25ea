// What the library keeps for a device behind OsData, its pool tag, and how it stops the system
// when a driver misuses it. Kernel C++ against platform/ only: the same sources make the host's
// library and SMCLIB.SYS.
#pragma once

#include "platform/dbg.h"
#include "platform/ke.h"
#include "platform/smclib.h"

// The attribute slot is the host's (platform/smclib.h); Windows' library has no such slot and
// hands attributes it does not keep to the vendor function alone.
#ifdef RDF_ATTRIBUTES
#define SMCLIB_HAS_ATTRIBUTE_SLOT 1
#else
#define SMCLIB_HAS_ATTRIBUTE_SLOT 0
#endif

namespace host::smclib {

// Pool tag of everything the library allocates: "SmCl".
constexpr ULONG kLibraryTag = ULONG('S') | ULONG('m') << 8 | ULONG('C') << 16 | ULONG('l') << 24;

// Smallest request and reply buffers the library hands out, as the documented library does.
constexpr ULONG kMinimumBufferSize = 288;

// Oldest extension layout the library accepts in SMARTCARD_EXTENSION.Version.
constexpr ULONG kOldestSupportedVersion = 0x100;

// Remove-lock acquisitions outstanding with one tag.
struct RemoveLockTag {
  ULONG tag;
  LONG count;
};
constexpr ULONG kRemoveLockTags = 16;

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

// Misuse stops the system as Driver Verifier would (DRIVER_VERIFIER_DETECTED_VIOLATION): going on
// would complete a request into freed memory, free the driver's memory or copy what is not the
// caller's. The first parameter says which misuse; the debug output before it says the rest.
constexpr ULONG kVerifierDetectedViolation = 0xC4;
enum Misuse : ULONG_PTR {
  kMisuseNotInitialised = 0x5C01,
  kMisuseInitialisedTwice,
  kMisuseWrongIrql,
  kMisuseNotDeviceControl,
  kMisuseReplyTooLong,
  kMisusePendingNotAllowed,
  kMisuseNotificationPending,
  kMisuseRequestInProgress,
  kMisuseRemoveLockHeld,
  kMisuseLentBuffer,
  kMisuseRemoveLockTags,
  kMisuseRemoveLockReleased,
};

}  // namespace host::smclib

// Prints "SMCLIB: <call>: <what>" and stops the system.
#define SMCLIB_STOP(misuse, value, call, format, ...)                                             \
  do {                                                                                            \
    DbgPrint("SMCLIB: " call ": " format "\n" __VA_OPT__(, ) __VA_ARGS__);                        \
    KeBugCheckEx(::host::smclib::kVerifierDetectedViolation, (misuse), (ULONG_PTR)(value), 0, 0); \
  } while (0)

namespace host::smclib {

// A line of text built in place (no pool, any IRQL), cut short when it does not fit.
struct TextLine {
  CHAR text[160];
  ULONG length;
};
void TextClear(TextLine* line);
void TextAppend(TextLine* line, PCSTR text);
void TextAppendDecimal(TextLine* line, ULONG value);
// A pool tag as its four characters.
void TextAppendTag(TextLine* line, ULONG tag);

// "tag 'Open' x1, untagged x2": the remove lock's outstanding acquisitions; empty when none.
void RemoveLockHolders(HostOsData* os, TextLine* holders);

}  // namespace host::smclib
