// Test support: the driver's reader link put together on the simulated hardware, for tests: a
// simulated line with the reader (and a card) at its far end, a smart card extension bound to the
// library with SimSerialIo as its serial routine, and a power-up that brings the link into step
// through the link's own operations.
//
// Create it inside the running machine (a SmartcardLibrary for the machine is optional) and call
// it from the machine's threads. PowerUp and Transceive hold LinkMutex as the driver's callers do.
#pragma once
#include <cstdint>
#include <memory>

#include "host/kernel/kernel.h"
#include "link/link.h"
#include "reader/reader_binding.h"
#include "sim/reader_rig.h"
#include "tests/support/sim_serial_io.h"

namespace test_support {

// kCustom: the slot starts empty; the owner inserts its own card (a vicc bridge, a scripted card).
enum class SimCardKind { kBuiltin, kT0Only, kNone, kCustom };

// The rig for a link: the reader, the card asked for, no host port (the serial routine takes the
// converter end).
sim::ReaderRigOptions SimRigOptions(SimCardKind card, uint64_t line_seed,
                                    const sim::ReaderOptions& reader);

struct SimLinkOptions {
  SimCardKind card = SimCardKind::kBuiltin;
  uint64_t line_seed = 1;  // the line's fault generator
  sim::ReaderOptions reader;
  SimSerialIoOptions serial;
  PDEVICE_OBJECT device = nullptr;  // the device object the binding names, if any
};

// Room for the longest answers the tests ask for (a few hundred bytes) and a whole block more.
constexpr ULONG kSimReplyCapacity = 2048;

struct SimExchange {
  NTSTATUS status = STATUS_PENDING;
  Bytes reply;  // on success: the whole answer
  UCHAR dad = 0, sad = 0;
};

class SimLink {
 public:
  explicit SimLink(host::kernel::Kernel& kernel, SimLinkOptions options = {});
  ~SimLink();
  SimLink(const SimLink&) = delete;
  SimLink& operator=(const SimLink&) = delete;

  // The binding's status; everything else needs it to be STATUS_SUCCESS.
  NTSTATUS binding_status() const { return binding_status_; }

  // The link's serial settings and DTR cycle (LinkSerialSetup, LinkDtrCycle: the reader boots on
  // the rising edge), then S(RESYNCH) (tried twice), S(IFS request, ifsd) and the host's IFSC
  // 254. The first failure is returned.
  NTSTATUS PowerUp(UCHAR ifsd = READER_MAX_IFSD);
  int power_ups() const { return power_ups_; }

  // One command through T1Transceive to the node `dad` (T1_NODE_READER or T1_NODE_CARD).
  SimExchange Transceive(UCHAR dad, const Bytes& command, ULONG capacity = kSimReplyCapacity);

  PSMARTCARD_EXTENSION extension() { return extension_.get(); }
  PREADER_EXTENSION reader_extension() { return extension_->ReaderExtension; }
  sim::ReaderRig& rig() { return *rig_; }
  sim::Reader& reader() { return rig_->reader(); }
  sim::SerialLine& line() { return rig_->line(); }
  sim::LineTrace& trace() { return rig_->trace(); }
  SimSerialIo& serial() { return *serial_; }

 private:
  void AcquireLink();
  void ReleaseLink();

  std::unique_ptr<sim::ReaderRig> rig_;
  std::unique_ptr<SMARTCARD_EXTENSION> extension_;
  std::unique_ptr<SimSerialIo> serial_;
  NTSTATUS binding_status_ = STATUS_PENDING;
  int power_ups_ = 0;
};

}  // namespace test_support
