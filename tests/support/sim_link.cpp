#include "tests/support/sim_link.h"

#include "link/t1_protocol.h"

namespace test_support {
namespace {

void Delay(host::kernel::Ticks interval) {
  LARGE_INTEGER wait;
  wait.QuadPart = -interval;
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

sim::ReaderRigOptions RigOptions(const SimLinkOptions& options) {
  sim::ReaderRigOptions rig;
  rig.reader = options.reader;
  rig.card.t0_only = options.card == SimCardKind::kT0Only;
  rig.insert_card = options.card != SimCardKind::kNone;
  rig.host_port = false;  // the serial routine takes the converter end
  rig.seed = options.line_seed;
  return rig;
}

}  // namespace

SimLink::SimLink(host::kernel::Kernel& kernel, SimLinkOptions options)
    : rig_(std::make_unique<sim::ReaderRig>(kernel, RigOptions(options))),
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

// One serial request with its data lent to the request descriptor for this call only.
NTSTATUS SimLink::Request(ULONG code, void* data, ULONG length) {
  SMARTCARD_REQUEST& request = extension_->SmartcardRequest;
  PUCHAR buffer = request.Buffer;
  ULONG size = request.BufferSize;
  if (data != nullptr) {
    request.Buffer = static_cast<PUCHAR>(data);
    request.BufferSize = length;
  }
  request.BufferLength = data != nullptr ? length : 0;
  reader_extension()->SerialIoctl = code;
  NTSTATUS status = reader_extension()->SerialIoRoutine(extension_.get());
  request.Buffer = buffer;
  request.BufferSize = size;
  request.BufferLength = 0;
  return status;
}

NTSTATUS SimLink::SerialSetup() {
  PREADER_EXTENSION r = reader_extension();
  struct Setting {
    ULONG code;
    void* data;
    ULONG length;
  };
  const Setting settings[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, &r->LinkBaudRate, sizeof(r->LinkBaudRate)},
      {IOCTL_SERIAL_SET_LINE_CONTROL, &r->LinkLineControl, sizeof(r->LinkLineControl)},
      {IOCTL_SERIAL_SET_CHARS, &r->LinkChars, sizeof(r->LinkChars)},
      {IOCTL_SERIAL_SET_TIMEOUTS, &r->LinkTimeouts, sizeof(r->LinkTimeouts)},
      {IOCTL_SERIAL_SET_HANDFLOW, &r->LinkHandflow, sizeof(r->LinkHandflow)},
      {IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0},
  };
  for (const Setting& s : settings) {
    NTSTATUS status = Request(s.code, s.data, s.length);
    if (status != STATUS_SUCCESS) return status;
  }
  return STATUS_SUCCESS;
}

// DTR off takes the reader's power, DTR on gives it back; the reader boots with its link reset.
NTSTATUS SimLink::DtrCycle() {
  reader_extension()->LinkState = LINK_STATE_IN_STEP;
  NTSTATUS status = Request(IOCTL_SERIAL_CLR_DTR, nullptr, 0);
  Delay(kSimDtrOffTime);
  if (status != STATUS_SUCCESS) return status;
  status = Request(IOCTL_SERIAL_SET_DTR, nullptr, 0);
  Delay(kSimDtrOnTime);
  return status;
}

NTSTATUS SimLink::PowerUp(UCHAR ifsd) {
  if (binding_status_ != STATUS_SUCCESS) return binding_status_;
  ++power_ups_;
  AcquireLink();
  NTSTATUS status = SerialSetup();
  if (status == STATUS_SUCCESS) status = DtrCycle();
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
