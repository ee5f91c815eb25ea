#include "tools/windows/reader_device.h"

#include <setupapi.h>

#include <algorithm>
#include <cstring>

namespace tools::win {

namespace {

// GUID_DEVINTERFACE_SMARTCARD_READER, which MinGW-w64's user-mode headers do not declare.
constexpr GUID kReaderInterface = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// The final status of a request that is still pending, as the I/O manager leaves it.
constexpr int32_t kStatusPending = 0x00000103;
constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001);
// The SCARD_IO_REQUEST header before a command and its answer.
constexpr uint32_t kIoRequestHeaderSize = sizeof(SCARD_IO_REQUEST);
// Room for an ATR (at most 33 bytes) and more; 256 bytes of answer data and the status word.
constexpr uint32_t kAtrCapacity = 64;
constexpr uint32_t kAnswerCapacity = 258;
constexpr uint32_t kAttributeCapacity = 64;
// The driver's raw reader command: a reader command in, the reader's whole answer out.
constexpr uint32_t kIoctlRawReaderCommand = SCARD_CTL_CODE(55);

std::vector<uint8_t> UlongBytes(uint32_t value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// The NTSTATUS behind the last failed call: kernel32 keeps it beside the Win32 error it made of
// it. RtlGetLastNtStatus is there from Windows XP on (and in Wine); looked up rather than
// imported, so that the tool imports from kernel32 and setupapi alone. Looked up once, at start:
// the look-up's own calls leave a status of their own behind.
using LastStatusGetter = LONG(WINAPI*)();
const LastStatusGetter kLastStatusGetter = [] {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  FARPROC found = ntdll ? GetProcAddress(ntdll, "RtlGetLastNtStatus") : nullptr;
  return reinterpret_cast<LastStatusGetter>(reinterpret_cast<void (*)()>(found));
}();

int32_t LastNtStatus() {
  LONG status = kLastStatusGetter ? kLastStatusGetter() : 0;
  return status < 0 ? status : kStatusUnsuccessful;
}

}  // namespace

bool FindReaders(std::vector<std::string>* paths, std::string* error) {
  paths->clear();
  HDEVINFO set = SetupDiGetClassDevsA(&kReaderInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    *error = "SetupDiGetClassDevs failed with Win32 error " + std::to_string(GetLastError());
    return false;
  }
  bool ok = true;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kReaderInterface, index, &data)) {
      if (DWORD e = GetLastError(); e != ERROR_NO_MORE_ITEMS) {
        *error = "SetupDiEnumDeviceInterfaces failed with Win32 error " + std::to_string(e);
        ok = false;
      }
      break;
    }
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    // DWORDs, so that the detail's cbSize lies aligned.
    std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr)) continue;
    paths->push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

PendingRequest::PendingRequest(HANDLE device, uint32_t code, std::span<const uint8_t> input,
                               uint32_t output_length)
    : device_(device), input_(input.begin(), input.end()), output_(output_length) {
  overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped_.hEvent) {
    answer_.status = LastNtStatus();
    finished_ = true;
    return;
  }
  overlapped_.Internal = kStatusPending;
  BOOL done = DeviceIoControl(device_, code, input_.empty() ? nullptr : input_.data(),
                              DWORD(input_.size()), output_.empty() ? nullptr : output_.data(),
                              DWORD(output_.size()), nullptr, &overlapped_);
  if (done || GetLastError() == ERROR_IO_PENDING) {
    pending_ = true;
    return;
  }
  // Failed at once. A warning's data (STATUS_BUFFER_OVERFLOW) still came back with its status in
  // the block; an error's status only in the thread's last status.
  int32_t status = int32_t(overlapped_.Internal);
  if (status == kStatusPending || status == 0) {
    answer_.status = LastNtStatus();
  } else {
    answer_.status = status;
    output_.resize(std::min<size_t>(output_.size(), overlapped_.InternalHigh));
    answer_.output = output_;
  }
  finished_ = true;
}

PendingRequest::~PendingRequest() {
  if (!finished_) {
    Cancel();
    Finish();
  }
  if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
}

bool PendingRequest::Wait(DWORD milliseconds) {
  if (finished_ || !pending_) return true;
  return WaitForSingleObject(overlapped_.hEvent, milliseconds) == WAIT_OBJECT_0;
}

void PendingRequest::Cancel() {
  if (!finished_ && pending_) CancelIo(device_);
}

RequestAnswer PendingRequest::Finish() {
  if (finished_) return answer_;
  DWORD bytes = 0;
  GetOverlappedResult(device_, &overlapped_, &bytes, TRUE);
  // The block holds the request's own status and Information, whatever Win32 error they became.
  answer_.status = int32_t(overlapped_.Internal);
  output_.resize(std::min<size_t>(output_.size(), overlapped_.InternalHigh));
  answer_.output = output_;
  finished_ = true;
  return answer_;
}

ReaderDevice::~ReaderDevice() { Close(); }

int32_t ReaderDevice::Open(const std::string& path) {
  Close();
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
  return handle_ == INVALID_HANDLE_VALUE ? LastNtStatus() : 0;
}

void ReaderDevice::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

RequestAnswer ReaderDevice::Control(uint32_t code, std::span<const uint8_t> input,
                                    uint32_t output_length) {
  return PendingRequest(handle_, code, input, output_length).Finish();
}

RequestAnswer ReaderDevice::GetAttribute(uint32_t tag) {
  return Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(tag), kAttributeCapacity);
}

uint32_t ReaderDevice::GetState() {
  RequestAnswer r = Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(uint32_t));
  uint32_t state = SCARD_UNKNOWN;
  if (r.status >= 0 && r.output.size() == sizeof state) {
    std::memcpy(&state, r.output.data(), sizeof state);
  }
  return state;
}

RequestAnswer ReaderDevice::Power(uint32_t minor_code) {
  return Control(IOCTL_SMARTCARD_POWER, UlongBytes(minor_code), kAtrCapacity);
}

RequestAnswer ReaderDevice::SetProtocol(uint32_t mask) {
  RequestAnswer r = Control(IOCTL_SMARTCARD_SET_PROTOCOL, UlongBytes(mask), sizeof(uint32_t));
  protocol_ = SCARD_PROTOCOL_UNDEFINED;
  if (r.status >= 0 && r.output.size() == sizeof protocol_) {
    std::memcpy(&protocol_, r.output.data(), sizeof protocol_);
  }
  return r;
}

RequestAnswer ReaderDevice::Transmit(std::span<const uint8_t> command) {
  SCARD_IO_REQUEST header{};
  header.dwProtocol = protocol_;
  header.cbPciLength = sizeof header;
  std::vector<uint8_t> input(sizeof header);
  std::memcpy(input.data(), &header, sizeof header);
  input.insert(input.end(), command.begin(), command.end());
  RequestAnswer r =
      Control(IOCTL_SMARTCARD_TRANSMIT, input, kIoRequestHeaderSize + kAnswerCapacity);
  if (r.output.size() >= kIoRequestHeaderSize) {
    r.output.erase(r.output.begin(), r.output.begin() + kIoRequestHeaderSize);
  }
  return r;
}

RequestAnswer ReaderDevice::RawReaderCommand(std::span<const uint8_t> command) {
  return Control(kIoctlRawReaderCommand, command, kAnswerCapacity);
}

}  // namespace tools::win
