#include "host/machine/reader_handle.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "host/machine/machine.h"
#include "sim/reader_protocol.h"

namespace host::machine {

namespace {

constexpr uint8_t kSetParametersP1 = 0x00;
constexpr uint8_t kSetParametersP2 = 0x00;
constexpr uint8_t kRateObjectLength = 1;
constexpr uint8_t kRateObjectsLength = 3;  // tag, length, rate code
constexpr uint8_t kSw1Success = sim::kSwReaderOk >> 8;
constexpr uint8_t kSw2Success = sim::kSwReaderOk & 0xFF;

std::vector<UCHAR> UlongBytes(ULONG value) {
  std::vector<UCHAR> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

}  // namespace

std::optional<ULONG> OutputUlong(const io::IoResult& result) {
  ULONG value = 0;
  if (!NT_SUCCESS(result.status) || result.output.size() != sizeof value) return std::nullopt;
  std::memcpy(&value, result.output.data(), sizeof value);
  return value;
}

std::string OutputText(const io::IoResult& result) {
  std::string text(result.output.begin(), result.output.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

bool ReaderAccepted(std::span<const uint8_t> answer) {
  return answer.size() >= 2 && answer[answer.size() - 2] == kSw1Success &&
         answer.back() == kSw2Success;
}

ReaderHandle::ReaderHandle(Machine& machine) : ReaderHandle(machine.io()) {}

ReaderHandle::ReaderHandle(io::IoManager& io) : io_(io), application_(io) {}

ReaderHandle::~ReaderHandle() {
  // A thread unwound because the machine stopped (a bug check, a request past a tool's bound)
  // closes nothing: the close would wait on the stopped machine and unwind a second time.
  if (std::uncaught_exceptions() > 0) return;
  if (is_open()) Close();
}

NTSTATUS ReaderHandle::Open(std::u16string_view path) {
  if (is_open()) return STATUS_INVALID_DEVICE_STATE;
  io::Handle handle = io::kInvalidHandle;
  NTSTATUS status = application_.Open(path, &handle);
  if (NT_SUCCESS(status)) handle_ = handle;
  return status;
}

NTSTATUS ReaderHandle::Close() {
  if (!is_open()) return STATUS_INVALID_HANDLE;
  NTSTATUS status = application_.Close(handle_);
  handle_ = io::kInvalidHandle;
  protocol_ = SCARD_PROTOCOL_UNDEFINED;
  return status;
}

io::IoResult ReaderHandle::Control(ULONG code, std::span<const UCHAR> input, ULONG output_length) {
  return application_.DeviceIoControl(handle_, code, input, output_length);
}

io::AsyncIo ReaderHandle::ControlAsync(ULONG code, std::span<const UCHAR> input,
                                       ULONG output_length) {
  return application_.DeviceIoControlAsync(handle_, code, input, output_length);
}

io::IoResult ReaderHandle::Read(ULONG length) { return application_.Read(handle_, length); }

io::IoResult ReaderHandle::Write(std::span<const UCHAR> data) {
  return application_.Write(handle_, data);
}

NTSTATUS ReaderHandle::CancelIo() { return application_.CancelIo(handle_); }

io::IoResult ReaderHandle::GetAttribute(ULONG tag, ULONG length) {
  return Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(tag), length);
}

ULONG ReaderHandle::GetState() {
  return OutputUlong(Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG))).value_or(SCARD_UNKNOWN);
}

io::IoResult ReaderHandle::Power(ULONG minor_code, ULONG atr_capacity) {
  return Control(IOCTL_SMARTCARD_POWER, UlongBytes(minor_code), atr_capacity);
}

io::IoResult ReaderHandle::SetProtocol(ULONG mask) {
  io::IoResult result = Control(IOCTL_SMARTCARD_SET_PROTOCOL, UlongBytes(mask), sizeof(ULONG));
  protocol_ = OutputUlong(result).value_or(SCARD_PROTOCOL_UNDEFINED);
  return result;
}

io::IoResult ReaderHandle::Transmit(std::span<const UCHAR> command, ULONG answer_capacity) {
  SCARD_IO_REQUEST header{};
  header.dwProtocol = protocol_;
  header.cbPciLength = sizeof header;
  std::vector<UCHAR> input(sizeof header);
  std::memcpy(input.data(), &header, sizeof header);
  input.insert(input.end(), command.begin(), command.end());
  io::IoResult result =
      Control(IOCTL_SMARTCARD_TRANSMIT, input, kIoRequestHeaderSize + answer_capacity);
  if (result.output.size() >= kIoRequestHeaderSize) {
    result.output.erase(result.output.begin(), result.output.begin() + kIoRequestHeaderSize);
  }
  return result;
}

io::AsyncIo ReaderHandle::IsPresent() { return ControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0); }

io::AsyncIo ReaderHandle::IsAbsent() { return ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0); }

io::IoResult ReaderHandle::RawReaderCommand(std::span<const UCHAR> command, ULONG answer_capacity) {
  return Control(kIoctlRawReaderCommand, command, answer_capacity);
}

io::IoResult ReaderHandle::SwitchRate(ULONG rate) {
  auto known = std::find(sim::kRateByCode.begin(), sim::kRateByCode.end(), rate);
  if (known == sim::kRateByCode.end()) return io::IoResult{STATUS_INVALID_PARAMETER, 0, {}};
  const UCHAR command[] = {sim::kClaReaderParameters, sim::kInsSetParameters,
                           kSetParametersP1,          kSetParametersP2,
                           kRateObjectsLength,        sim::kTagRateCode,
                           kRateObjectLength,         UCHAR(known - sim::kRateByCode.begin())};
  return RawReaderCommand(command);
}

}  // namespace host::machine
