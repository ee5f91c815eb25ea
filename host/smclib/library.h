// The smart card library as a service of the machine: the system event log that SmartcardLogError
// writes to (IoAllocateErrorLogEntry and IoWriteErrorLogEntry, whose host side lives here) and the
// debug level, for tests and tools to read. Host only: the library itself is the kernel C++ of the
// other files here (library_state.h and the rest), which also make SMCLIB.SYS for Windows.
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
//   request still pending at SmartcardExit, a lent buffer handed back to SmartcardExit. The library
//   prints what it found and calls KeBugCheckEx (DRIVER_VERIFIER_DETECTED_VIOLATION).
// - The debug level is one for the whole process, as Windows' library keeps one for the system.
// - SmartcardT1Request and SmartcardT1Reply answer STATUS_NOT_SUPPORTED: the library does not run
//   T=1 for a driver (this driver runs its own link); SmartcardRawRequest and SmartcardRawReply
//   pass a command and its answer on unchanged.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/smclib/library_state.h"
#include "platform/smclib.h"

namespace host::smclib {

// One entry of the system event log.
struct LoggedEvent {
  const void* object = nullptr;
  NTSTATUS code = 0;
  std::u16string insertion;  // the first insertion string
  ULONG dump_word = 0;       // the first ULONG of the dump data
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

  // SmartcardGetDebugLevel and SmartcardSetDebugLevel.
  ULONG debug_level() const;
  void set_debug_level(ULONG level);

 private:
  kernel::Kernel& kernel_;
  std::mutex mu_;
  std::vector<LoggedEvent> events_;
};

// The library of the calling thread's machine, or null when none was created.
SmartcardLibrary* CurrentLibrary();

}  // namespace host::smclib
