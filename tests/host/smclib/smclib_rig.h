// A machine with the I/O manager and the smart card library, and a test reader device: a device
// object whose extension begins with an initialised SMARTCARD_EXTENSION, whose device-control
// dispatch hands every request to SmartcardDeviceControl, and whose reader functions record what
// the library handed them before running the test's own handler.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "host/io/application.h"
#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "platform/io.h"
#include "platform/smclib.h"

namespace smclib_test {

// What one reader function call saw.
struct ReaderCall {
  ULONG slot = 0;
  ULONG major = 0;
  ULONG minor = 0;
  PUCHAR request_buffer = nullptr;
  ULONG request_length = 0;
  std::vector<UCHAR> request;  // the request bytes as the function saw them
  PUCHAR reply_buffer = nullptr;
  ULONG reply_length = 0;
  bool has_information = false;
  ULONG information_on_entry = 0xFFFFFFFF;
  PIRP current_irp = nullptr;
};

// The result of one request sent to the device; `completed`, `status` and `information` change
// when a pending request completes later.
struct Sent {
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_SUCCESS;  // what the dispatch routine (the library) returned
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<UCHAR> own_buffer;  // SendUlong's system buffer when the test gives none
};

class Rig;

// The test device's extension.
struct TestDeviceExtension {
  SMARTCARD_EXTENSION smartcard;  // first, as the library expects
  Rig* rig;
};

using Handler = std::function<NTSTATUS(PSMARTCARD_EXTENSION)>;

struct Machine {
  Machine() : k(), io(k), library(k) {}
  host::kernel::Kernel k;
  host::io::IoManager io;
  host::smclib::SmartcardLibrary library;
};

class Rig {
 public:
  // Creates "\Device\SmcTest<n>" and initialises the library on it; all reader function slots
  // the test names get the recording function. Call inside the machine.
  explicit Rig(Machine& m,
               std::vector<ULONG> slots = {RDF_CARD_POWER, RDF_TRANSMIT, RDF_CARD_TRACKING,
                                           RDF_SET_PROTOCOL, RDF_IOCTL_VENDOR});
  // SmartcardExit and the device deleted.
  void Close();

  PDEVICE_OBJECT device() { return device_; }
  PSMARTCARD_EXTENSION e() { return &extension()->smartcard; }
  void SetState(ULONG state);  // CurrentState under OsData->SpinLock

  // Sends a device-control request with `buffer` as its system buffer (null when empty), as the
  // I/O manager does for METHOD_BUFFERED, to the device's dispatch routine.
  std::shared_ptr<Sent> Send(ULONG code, std::vector<UCHAR>* buffer, ULONG input_length,
                             ULONG output_length);
  // A request with a ULONG input and an output of output_length bytes; the answer is in buffer.
  std::shared_ptr<Sent> SendUlong(ULONG code, ULONG value, ULONG output_length,
                                  std::vector<UCHAR>* buffer = nullptr);

  std::array<Handler, RDF_MAXIMUM> handler{};
  std::vector<ReaderCall> calls;
  // The status SmartcardDeviceControl returned for the last request through the dispatch.
  NTSTATUS last_returned = STATUS_SUCCESS;

  // The driver's half of card tracking, as a reader driver writes it: the tracking function puts
  // its cancel routine on the stored request; CompleteTracking completes it (STATUS_CANCELLED
  // when cancelled).
  static NTSTATUS TrackingFunction(PSMARTCARD_EXTENSION e);
  static void CompleteTracking(PSMARTCARD_EXTENSION e);
  static void CancelTracking(PDEVICE_OBJECT device, PIRP irp);

  static Rig* Of(PSMARTCARD_EXTENSION e) { return reinterpret_cast<TestDeviceExtension*>(e)->rig; }
  void Record(ULONG slot, PSMARTCARD_EXTENSION e);

 private:
  TestDeviceExtension* extension() {
    return static_cast<TestDeviceExtension*>(device_->DeviceExtension);
  }
  Machine& m_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

inline std::vector<UCHAR> Bytes(ULONG value) {
  std::vector<UCHAR> b(sizeof value);
  __builtin_memcpy(b.data(), &value, sizeof value);
  return b;
}

inline ULONG UlongAt(const std::vector<UCHAR>& b, size_t offset = 0) {
  ULONG v;
  __builtin_memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

}  // namespace smclib_test
