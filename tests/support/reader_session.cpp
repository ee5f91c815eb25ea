#include "tests/support/reader_session.h"

#include <cstring>
#include <string>

#include "link/link.h"
#include "link/t1_protocol.h"
#include "reader/reader_binding.h"
#include "reader/reader_commands.h"
#include "reader/reader_functions.h"
#include "sim/reader_protocol.h"

namespace test_support {

namespace {

PSMARTCARD_EXTENSION ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
}

// The device-control routing's share: one user of the link at a time, then the library.
NTSTATUS RouteToLibrary(PDEVICE_OBJECT device, PIRP irp) {
  PSMARTCARD_EXTENSION extension = ExtensionOf(device);
  PREADER_EXTENSION reader = extension->ReaderExtension;
  KeWaitForSingleObject(&reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = SmartcardDeviceControl(extension, irp);
  KeReleaseMutex(&reader->LinkMutex, FALSE);
  return status;
}

int next_session_number = 0;

}  // namespace

struct ReaderSession::Pending {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
  PIRP irp = nullptr;
  NTSTATUS sent = STATUS_PENDING;
};

ReaderSession::ReaderSession(host::kernel::Kernel& kernel, host::io::IoManager& io,
                             ReaderSessionOptions options)
    : kernel_(kernel), io_(io) {
  rig_ = std::make_unique<sim::ReaderRig>(
      kernel_, SimRigOptions(options.card, options.line_seed, options.reader));
  if (options.card == SimCardKind::kCustom && options.custom_card) {
    rig_->reader().InsertCard(options.custom_card);
  }
  sim::ApplyFaultScript(options.faults, rig_->line(), rig_->reader(),
                        options.custom_card ? options.custom_card : rig_->card());

  std::u16string name =
      u"\\Driver\\Zarq7Session" + host::io::Widen(std::to_string(next_session_number++));
  driver_ = io_.CreateHostDriver(name);
  driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteToLibrary;
  NTSTATUS status = IoCreateDevice(driver_, sizeof(SMARTCARD_EXTENSION), nullptr,
                                   FILE_DEVICE_SMARTCARD, 0, TRUE, &device_);
  if (!NT_SUCCESS(status)) {
    kernel_.BugCheck("ReaderSession", "IoCreateDevice failed: " + host::io::StatusName(status));
  }
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  serial_ = std::make_unique<SimSerialIo>(extension(), rig_->line());
  status = CreateReaderBinding(device_, extension(), SimSerialIo::SerialIo);
  if (!NT_SUCCESS(status)) {
    kernel_.BugCheck("ReaderSession",
                     "CreateReaderBinding failed: " + host::io::StatusName(status));
  }
}

ReaderSession::~ReaderSession() {
  if (open_) Close();
  for (auto& pending : requests_) {
    if (pending && !KeReadStateEvent(&pending->done)) {
      kernel_.BugCheck("ReaderSession", "a request is still pending when the session ends");
    }
  }
  ReleaseReaderBinding(extension());
  DeleteReaderBinding(extension());
  serial_.reset();
  IoDeleteDevice(device_);
  rig_.reset();
}

PSMARTCARD_EXTENSION ReaderSession::extension() const { return ExtensionOf(device_); }

PREADER_EXTENSION ReaderSession::reader_extension() const { return extension()->ReaderExtension; }

// Under LinkMutex as a whole: with a handle open, the card tracking thread may be in the middle
// of a query, and the serial setup rewrites the descriptors that query is using.
NTSTATUS ReaderSession::Start() {
  PREADER_EXTENSION reader = reader_extension();
  KeWaitForSingleObject(&reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = LinkSerialSetup(extension());
  if (NT_SUCCESS(status)) status = LinkBringUp(extension());
  KeReleaseMutex(&reader->LinkMutex, FALSE);
  return status;
}

NTSTATUS ReaderSession::Open() {
  NTSTATUS status = StartCardTracking(extension());
  if (NT_SUCCESS(status)) open_ = true;
  return status;
}

NTSTATUS ReaderSession::Close() {
  open_ = false;
  NTSTATUS status = StopCardTracking(extension());
  CompleteCardTracking(extension());
  return status;
}

int ReaderSession::Submit(ULONG code, std::span<const uint8_t> input, ULONG output_length) {
  auto pending = std::make_unique<Pending>();
  KeInitializeEvent(&pending->done, NotificationEvent, FALSE);
  pending->input.assign(input.begin(), input.end());
  pending->output.assign(output_length, 0);
  pending->irp = IoBuildDeviceIoControlRequest(
      code, device_, pending->input.empty() ? nullptr : pending->input.data(),
      ULONG(pending->input.size()), pending->output.empty() ? nullptr : pending->output.data(),
      output_length, FALSE, &pending->done, &pending->iosb);
  if (pending->irp == nullptr) {
    pending->iosb.Status = STATUS_INSUFFICIENT_RESOURCES;
    KeSetEvent(&pending->done, IO_NO_INCREMENT, FALSE);
  } else {
    pending->sent = IoCallDriver(device_, pending->irp);
  }
  requests_.push_back(std::move(pending));
  return int(requests_.size() - 1);
}

bool ReaderSession::Completed(int request) const {
  return KeReadStateEvent(&requests_.at(size_t(request))->done) != 0;
}

ControlResult ReaderSession::Wait(int request) {
  Pending& pending = *requests_.at(size_t(request));
  KeWaitForSingleObject(&pending.done, Executive, KernelMode, FALSE, nullptr);
  ControlResult result;
  result.status = pending.iosb.Status;
  size_t returned = std::min<size_t>(pending.iosb.Information, pending.output.size());
  result.output.assign(pending.output.begin(), pending.output.begin() + long(returned));
  requests_[size_t(request)].reset();
  return result;
}

void ReaderSession::Cancel(int request) {
  Pending& pending = *requests_.at(size_t(request));
  // Once the event is set the I/O manager has freed the IRP.
  if (!KeReadStateEvent(&pending.done)) IoCancelIrp(pending.irp);
}

ControlResult ReaderSession::Control(ULONG code, std::span<const uint8_t> input,
                                     ULONG output_length) {
  return Wait(Submit(code, input, output_length));
}

namespace {

std::vector<uint8_t> UlongBytes(ULONG value) {
  std::vector<uint8_t> bytes(sizeof(ULONG));
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

}  // namespace

ULONG ControlResult::Ulong() const {
  ULONG value = 0;
  if (output.size() == sizeof value) std::memcpy(&value, output.data(), sizeof value);
  return value;
}

ControlResult ReaderSession::Power(ULONG minor_code, ULONG atr_capacity) {
  return Control(IOCTL_SMARTCARD_POWER, UlongBytes(minor_code), atr_capacity);
}

ControlResult ReaderSession::SetProtocol(ULONG mask) {
  return Control(IOCTL_SMARTCARD_SET_PROTOCOL, UlongBytes(mask), sizeof(ULONG));
}

ControlResult ReaderSession::Transmit(std::span<const uint8_t> command, ULONG answer_capacity) {
  SCARD_IO_REQUEST header{};
  header.dwProtocol = extension()->CardCapabilities.Protocol.Selected;
  header.cbPciLength = sizeof header;
  std::vector<uint8_t> input(sizeof header);
  std::memcpy(input.data(), &header, sizeof header);
  input.insert(input.end(), command.begin(), command.end());
  ControlResult result =
      Control(IOCTL_SMARTCARD_TRANSMIT, input, kIoRequestHeaderSize + answer_capacity);
  if (result.output.size() >= kIoRequestHeaderSize) {
    result.output.erase(result.output.begin(), result.output.begin() + kIoRequestHeaderSize);
  }
  return result;
}

ControlResult ReaderSession::GetAttribute(ULONG tag, ULONG length) {
  return Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(tag), length);
}

ULONG ReaderSession::State() {
  ControlResult r = Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  return NT_SUCCESS(r.status) ? r.Ulong() : ULONG(SCARD_UNKNOWN);
}

// The reader's set-parameters command with the rate tag, as the vendor pass-through sends it.
NTSTATUS ReaderSession::SwitchRate(ULONG rate) {
  UCHAR code = 0;
  while (code < sim::kRateByCode.size() && sim::kRateByCode[code] != rate) ++code;
  if (code == sim::kRateByCode.size()) return STATUS_INVALID_PARAMETER;
  PREADER_EXTENSION reader = reader_extension();
  KeWaitForSingleObject(&reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
  const UCHAR command[] = {READER_CLASS_SET_PARAMETERS,
                           READER_INS_SET_PARAMETERS,
                           READER_P1_SET_PARAMETERS,
                           READER_P2_SET_PARAMETERS,
                           READER_LC_SET_PARAMETERS,  // one data object of 3 bytes
                           sim::kTagRateCode,
                           1,  // its length
                           code};
  UCHAR answer[READER_SET_PARAMETERS_REPLY_SIZE];
  ULONG length = sizeof answer;
  UCHAR dad = T1_NODE_READER, sad = T1_NODE_HOST;
  NTSTATUS status = T1Transceive(extension(), &dad, &sad, command, sizeof command, answer, &length);
  if (NT_SUCCESS(status) &&
      (length < READER_STATUS_WORD_LENGTH || answer[length - 2] != READER_SW1_SUCCESS ||
       answer[length - 1] != READER_SW2_SUCCESS)) {
    status = STATUS_DEVICE_PROTOCOL_ERROR;
  }
  if (NT_SUCCESS(status)) {
    reader->LinkBaudRate.BaudRate = rate;
    status = LinkSerialSetup(extension());
  }
  KeReleaseMutex(&reader->LinkMutex, FALSE);
  return status;
}

}  // namespace test_support
