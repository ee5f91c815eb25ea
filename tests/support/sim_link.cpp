#include "tests/support/sim_link.h"

#include "link/t1_protocol.h"

namespace test_support {

sim::ReaderRigOptions SimRigOptions(SimCardKind card, uint64_t line_seed,
                                    const sim::ReaderOptions& reader) {
  sim::ReaderRigOptions rig;
  rig.reader = reader;
  rig.card.t0_only = card == SimCardKind::kT0Only;
  rig.insert_card = card == SimCardKind::kBuiltin || card == SimCardKind::kT0Only;
  rig.host_port = false;  // the serial routine takes the converter end
  rig.seed = line_seed;
  rig.card.seed = line_seed;  // the card's random answers follow the session's seed too
  return rig;
}

SimLink::SimLink(host::kernel::Kernel& kernel, SimLinkOptions options)
    : rig_(std::make_unique<sim::ReaderRig>(
          kernel, SimRigOptions(options.card, options.line_seed, options.reader))),
      extension_(std::make_unique<SMARTCARD_EXTENSION>()) {
  RtlZeroMemory(extension_.get(), sizeof(SMARTCARD_EXTENSION));
  serial_ = std::make_unique<SimSerialIo>(extension_.get(), rig_->line(), options.serial);
  binding_status_ = CreateReaderBinding(options.device, extension_.get(), SimSerialIo::SerialIo);
  if (binding_status_ == STATUS_SUCCESS) KeInitializeMutex(&reader_extension()->LinkMutex, 0);
}

SimLink::~SimLink() {
  if (extension_->ReaderExtension != nullptr) DeleteReaderBinding(extension_.get());
  serial_.reset();
  rig_.reset();
}

void SimLink::AcquireLink() {
  KeWaitForSingleObject(&reader_extension()->LinkMutex, Executive, KernelMode, FALSE, nullptr);
}

void SimLink::ReleaseLink() { KeReleaseMutex(&reader_extension()->LinkMutex, FALSE); }

NTSTATUS SimLink::PowerUp(UCHAR ifsd) {
  if (binding_status_ != STATUS_SUCCESS) return binding_status_;
  ++power_ups_;
  AcquireLink();
  // The driver's own serial setup and DTR cycle; the bring-up after them takes any IFSD.
  NTSTATUS status = LinkSerialSetup(extension_.get());
  if (status == STATUS_SUCCESS) status = LinkDtrCycle(extension_.get());
  if (status == STATUS_SUCCESS) {
    status = T1Resynch(extension_.get());
    if (status != STATUS_SUCCESS) {
      reader_extension()->LinkState = LINK_STATE_RESYNCH_DUE;
      status = T1Resynch(extension_.get());
    }
  }
  if (status == STATUS_SUCCESS) status = T1SetIfsd(extension_.get(), ifsd);
  if (status == STATUS_SUCCESS) status = T1SetIfsc(extension_.get(), T1_IFS_LARGEST);
  ReleaseLink();
  return status;
}

SimExchange SimLink::Transceive(UCHAR dad, const Bytes& command, ULONG capacity) {
  SimExchange x;
  if (binding_status_ != STATUS_SUCCESS) {
    x.status = binding_status_;
    return x;
  }
  x.dad = dad;
  x.sad = T1_NODE_HOST;
  x.reply.assign(capacity, 0);
  ULONG length = capacity;
  AcquireLink();
  x.status = T1Transceive(extension_.get(), &x.dad, &x.sad, command.data(), ULONG(command.size()),
                          x.reply.data(), &length);
  ReleaseLink();
  x.reply.resize(x.status == STATUS_SUCCESS ? length : 0);
  return x;
}

}  // namespace test_support
