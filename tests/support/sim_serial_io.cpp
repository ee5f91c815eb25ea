#include "tests/support/sim_serial_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "host/kernel/kernel.h"
#include "reader/reader_extension.h"
#include "sim/uart_settings.h"

namespace test_support {
namespace {

using host::kernel::Kernel;
using host::kernel::Milliseconds;
using host::kernel::Ticks;

// The rates the converter has a rate bit for; a request for any other rate leaves the line's
// rate as it was, as a converter request without rate bits does.
constexpr std::array<ULONG, 7> kConverterRates = {1200, 9600, 19200, 28800, 38400, 57600, 115200};

struct Registry {
  std::mutex mu;
  std::map<PSMARTCARD_EXTENSION, SimSerialIo*> routines;
};

Registry& Routines() {
  static Registry registry;
  return registry;
}

void Delay(Ticks interval) {
  if (interval <= 0) return;
  LARGE_INTEGER wait;
  wait.QuadPart = -interval;
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

}  // namespace

SimSerialIo::SimSerialIo(PSMARTCARD_EXTENSION extension, sim::SerialLine& line,
                         SimSerialIoOptions options)
    : extension_(extension),
      line_(line),
      options_(options),
      port_(line.converter_end()),
      rng_(options.seed) {
  port_.set_discard_damaged(options_.damaged_characters == sim::CharacterErrors::kDrop);
  timeouts_.ReadIntervalTimeout = kSimDefaultReadInterval;
  timeouts_.ReadTotalTimeoutMultiplier = kSimDefaultReadMultiplier;
  timeouts_.ReadTotalTimeoutConstant = kSimDefaultReadConstant;
  timeouts_.WriteTotalTimeoutMultiplier = kSimDefaultWriteMultiplier;
  timeouts_.WriteTotalTimeoutConstant = kSimDefaultWriteConstant;
  Registry& registry = Routines();
  std::lock_guard lock(registry.mu);
  registry.routines[extension_] = this;
}

SimSerialIo::~SimSerialIo() {
  Registry& registry = Routines();
  std::lock_guard lock(registry.mu);
  registry.routines.erase(extension_);
}

NTSTATUS SimSerialIo::SerialIo(PSMARTCARD_EXTENSION extension) {
  SimSerialIo* routine = nullptr;
  {
    Registry& registry = Routines();
    std::lock_guard lock(registry.mu);
    auto it = registry.routines.find(extension);
    if (it != registry.routines.end()) routine = it->second;
  }
  if (routine == nullptr) {
    ADD_FAILURE() << "serial request for an extension without a simulated line";
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  return routine->Serve(extension);
}

std::vector<SerialRequestRecord> SimSerialIo::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

size_t SimSerialIo::Count(ULONG code) const {
  std::lock_guard lock(mu_);
  return size_t(std::count_if(requests_.begin(), requests_.end(),
                              [code](const SerialRequestRecord& r) { return r.code == code; }));
}

std::vector<ULONG> SimSerialIo::Codes() const {
  std::lock_guard lock(mu_);
  std::vector<ULONG> codes;
  for (const auto& r : requests_) codes.push_back(r.code);
  return codes;
}

void SimSerialIo::ClearRecord() {
  std::lock_guard lock(mu_);
  requests_.clear();
}

SERIAL_TIMEOUTS SimSerialIo::timeouts() const {
  std::lock_guard lock(mu_);
  return timeouts_;
}

void SimSerialIo::Record(SerialRequestRecord record) {
  std::lock_guard lock(mu_);
  requests_.push_back(std::move(record));
}

NTSTATUS SimSerialIo::Serve(PSMARTCARD_EXTENSION extension) {
  SMARTCARD_REQUEST& request = extension->SmartcardRequest;
  SMARTCARD_REPLY& reply = extension->SmartcardReply;
  SerialRequestRecord record;
  record.code = extension->ReaderExtension->SerialIoctl;
  record.time = Kernel::Current().Now();

  // A reply longer than its buffer is cut to the buffer; a request longer than its buffer is
  // refused before a byte of it is looked at.
  if (reply.BufferLength > reply.BufferSize) reply.BufferLength = reply.BufferSize;
  if (request.BufferLength > request.BufferSize) {
    record.status = STATUS_BUFFER_TOO_SMALL;
    Record(record);
    return record.status;
  }
  if (record.code != SMARTCARD_READ && request.BufferLength != 0 && request.Buffer != nullptr) {
    record.data.assign(request.Buffer, request.Buffer + request.BufferLength);
  }

  switch (record.code) {
    case SMARTCARD_WRITE:
      record.status = Write(request);
      break;
    case SMARTCARD_READ:
      record.status = Read(reply, record);
      break;
    case IOCTL_SERIAL_PURGE:
      // The mask is not looked at: whatever arrived and was not read is dropped.
      port_.Purge();
      record.status = STATUS_SUCCESS;
      break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      record.status = SetTimeouts(request);
      break;
    case IOCTL_SERIAL_SET_BAUD_RATE:
      record.status = SetBaudRate(request);
      break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
      record.status = GetCommStatus(request);
      break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      record.status = SetLineControl(request);
      break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
      line_.SetDtr(record.code == IOCTL_SERIAL_SET_DTR);
      record.status = STATUS_SUCCESS;
      break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
      line_.SetRts(record.code == IOCTL_SERIAL_SET_RTS);
      record.status = STATUS_SUCCESS;
      break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_CHARS:
    case IOCTL_SERIAL_SET_HANDFLOW:
      // The converter has nothing these settings would change.
      record.status = STATUS_SUCCESS;
      break;
    default:
      record.status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  NTSTATUS status = record.status;
  Record(std::move(record));
  return status;
}

// The block is handed to the converter, which sends it at the line's pace; the write returns
// once the converter has taken all of it, that is once no more than its buffer still waits.
NTSTATUS SimSerialIo::Write(const SMARTCARD_REQUEST& request) {
  if (request.BufferLength == 0) return STATUS_SUCCESS;
  if (request.Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  sim::SerialLine::End& end = line_.converter_end();
  Ticks spread = options_.turnaround_max - options_.turnaround_min;
  // The converter path's own latency is hardware time, not a timer on the clock tick.
  Ticks turnaround =
      options_.turnaround_min + (spread > 0 ? Ticks(rng_() % uint64_t(spread + 1)) : 0);
  if (turnaround > 0) host::kernel::Kernel::Current().SleepFor(turnaround);
  port_.Send(std::span<const uint8_t>(request.Buffer, request.BufferLength));
  size_t queued = end.TransmitQueued();
  if (queued > options_.transmit_buffer) {
    Delay(Ticks(queued - options_.transmit_buffer) * sim::CharacterTime(end.settings()));
  }
  return STATUS_SUCCESS;
}

// Waits until the wanted bytes are in or (missing bytes x multiplier + constant) ms have passed,
// and hands over what is there, up to the wanted count. The bytes delivered are reported by
// lowering SmartcardReply.BufferLength; nothing at all is STATUS_TIMEOUT. As on a serial port, a
// read that has a character also ends when the read interval passes without a further one.
NTSTATUS SimSerialIo::Read(SMARTCARD_REPLY& reply, SerialRequestRecord& record) {
  ULONG wanted = reply.BufferLength;
  record.wanted = wanted;
  if (wanted != 0 && reply.Buffer == nullptr) {
    reply.BufferLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  SERIAL_TIMEOUTS limits = timeouts();
  ULONG available = ULONG(port_.available());
  if (available < wanted) {
    // 32-bit arithmetic, as the time limit is computed on the device.
    record.timeout_ms =
        (wanted - available) * limits.ReadTotalTimeoutMultiplier + limits.ReadTotalTimeoutConstant;
  }
  Kernel& kernel = Kernel::Current();
  Ticks deadline = kernel.Now() + Milliseconds(record.timeout_ms);
  // Characters are taken as they arrive, so the interval runs from the last one taken.
  std::vector<uint8_t> bytes = port_.Receive(wanted, 0);
  for (Ticks until = deadline; bytes.size() < wanted; until = deadline) {
    if (limits.ReadIntervalTimeout != 0 && !bytes.empty()) {
      until = std::min(until, kernel.Now() + Milliseconds(limits.ReadIntervalTimeout));
    }
    if (until <= kernel.Now() || !port_.WaitForCharacter(until - kernel.Now())) break;
    std::vector<uint8_t> more = port_.Receive(wanted - bytes.size(), 0);
    bytes.insert(bytes.end(), more.begin(), more.end());
  }
  if (bytes.empty() && port_.available() == 0) {
    reply.BufferLength = 0;
    return STATUS_TIMEOUT;
  }
  if (!bytes.empty()) std::memcpy(reply.Buffer, bytes.data(), bytes.size());
  reply.BufferLength = ULONG(bytes.size());
  record.delivered = reply.BufferLength;
  return STATUS_SUCCESS;
}

NTSTATUS SimSerialIo::SetBaudRate(const SMARTCARD_REQUEST& request) {
  if (request.Buffer == nullptr || request.BufferLength < sizeof(SERIAL_BAUD_RATE)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SERIAL_BAUD_RATE rate;
  std::memcpy(&rate, request.Buffer, sizeof(rate));
  if (std::find(kConverterRates.begin(), kConverterRates.end(), rate.BaudRate) ==
      kConverterRates.end()) {
    return STATUS_SUCCESS;
  }
  sim::UartSettings settings = line_.converter_end().settings();
  settings.bit_rate = rate.BaudRate;
  line_.converter_end().Configure(settings);
  return STATUS_SUCCESS;
}

// Stop bits and parity reach the converter; the word length does not (it stays at 8 bits), and
// neither do mark and space parity, which leave the parity as it was.
NTSTATUS SimSerialIo::SetLineControl(const SMARTCARD_REQUEST& request) {
  if (request.Buffer == nullptr || request.BufferLength < sizeof(SERIAL_LINE_CONTROL)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SERIAL_LINE_CONTROL control;
  std::memcpy(&control, request.Buffer, sizeof(control));
  sim::UartSettings settings = line_.converter_end().settings();
  settings.stop_bits = control.StopBits == STOP_BIT_1 ? 1 : 2;
  switch (control.Parity) {
    case NO_PARITY:
      settings.parity = sim::Parity::kNone;
      break;
    case ODD_PARITY:
      settings.parity = sim::Parity::kOdd;
      break;
    case EVEN_PARITY:
      settings.parity = sim::Parity::kEven;
      break;
    default:
      break;
  }
  line_.converter_end().Configure(settings);
  return STATUS_SUCCESS;
}

// The line errors since the last call, into the request's own buffer (the system buffer of a
// buffered request); reading them clears them.
NTSTATUS SimSerialIo::GetCommStatus(SMARTCARD_REQUEST& request) {
  if (request.Buffer == nullptr || request.BufferLength < sizeof(SERIAL_STATUS)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SERIAL_STATUS status{};
  uint64_t errors = port_.error_count();
  if (errors != errors_reported_ && options_.damaged_characters != sim::CharacterErrors::kIgnore) {
    status.Errors = SERIAL_ERROR_PARITY;
  }
  errors_reported_ = errors;
  status.AmountInInQueue = ULONG(port_.available());
  std::memcpy(request.Buffer, &status, sizeof status);
  return STATUS_SUCCESS;
}

// Only a whole SERIAL_TIMEOUTS record replaces the time limits; anything shorter changes
// nothing, as on the device.
NTSTATUS SimSerialIo::SetTimeouts(const SMARTCARD_REQUEST& request) {
  if (request.Buffer == nullptr || request.BufferLength != sizeof(SERIAL_TIMEOUTS)) {
    return STATUS_SUCCESS;
  }
  std::lock_guard lock(mu_);
  std::memcpy(&timeouts_, request.Buffer, sizeof(timeouts_));
  return STATUS_SUCCESS;
}

}  // namespace test_support
