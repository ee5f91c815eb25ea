#include "tests/support/test_serial_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "host/kernel/kernel.h"
#include "reader/reader_extension.h"

namespace test_support {
namespace {

std::map<PSMARTCARD_EXTENSION, TestSerialLine*>& Lines() {
  static std::map<PSMARTCARD_EXTENSION, TestSerialLine*> lines;
  return lines;
}

// A read's time-out is the machine's: it ends on the clock tick.
void DelayUntil(host::kernel::Ticks when) {
  auto& k = host::kernel::Kernel::Current();
  host::kernel::Ticks now = k.Now();
  if (when <= now) return;
  LARGE_INTEGER interval;
  interval.QuadPart = -(when - now);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// A character's arrival is the line's: the read ends when it comes, to the 100 ns.
void WaitForArrival(host::kernel::Ticks when) {
  auto& k = host::kernel::Kernel::Current();
  if (when > k.Now()) k.SleepFor(when - k.Now());
}

}  // namespace

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  return out;
}

TestSerialLine::TestSerialLine(PSMARTCARD_EXTENSION extension) : extension_(extension) {
  Lines()[extension] = this;
}

TestSerialLine::~TestSerialLine() { Lines().erase(extension_); }

NTSTATUS TestSerialLine::SerialIo(PSMARTCARD_EXTENSION extension) {
  auto it = Lines().find(extension);
  if (it == Lines().end()) {
    ADD_FAILURE() << "serial request for an extension without a test line";
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  return it->second->Serve(extension);
}

void TestSerialLine::Send(const Bytes& bytes, host::kernel::Ticks delay) {
  host::kernel::Ticks at = host::kernel::Kernel::Current().Now() + delay;
  for (uint8_t b : bytes) {
    received_.push_back({at, b});
    at += char_time;
  }
}

NTSTATUS TestSerialLine::Serve(PSMARTCARD_EXTENSION extension) {
  auto& request = extension->SmartcardRequest;
  ULONG code = extension->ReaderExtension->SerialIoctl;
  EXPECT_LE(request.BufferLength, request.BufferSize) << "request longer than its buffer";
  ScriptedLineRequest record;
  record.code = code;
  record.length = request.BufferLength;
  record.at = host::kernel::Kernel::Current().Now();
  if (code != SMARTCARD_READ && request.Buffer != nullptr) {
    record.data.assign(request.Buffer, request.Buffer + request.BufferLength);
  }
  requests.push_back(std::move(record));
  if (request_status) {
    NTSTATUS status = request_status(code);
    if (status != STATUS_SUCCESS) return status;
  }
  switch (code) {
    case IOCTL_SERIAL_PURGE: {
      ULONG mask = 0;
      EXPECT_EQ(request.BufferLength, sizeof(mask));
      std::memcpy(&mask, request.Buffer, sizeof(mask));
      purge_masks.push_back(mask);
      received_.clear();
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_TIMEOUTS:
      if (request.BufferLength == sizeof(SERIAL_TIMEOUTS)) {
        std::memcpy(&timeouts_, request.Buffer, sizeof(timeouts_));
        timeouts_set.push_back(timeouts_);
      }
      return STATUS_SUCCESS;
    case SMARTCARD_WRITE: {
      Bytes block(request.Buffer, request.Buffer + request.BufferLength);
      writes.push_back(block);
      write_times.push_back(host::kernel::Kernel::Current().Now());
      if (on_write) on_write(block);
      return STATUS_SUCCESS;
    }
    case SMARTCARD_READ:
      return Read(extension);
    case IOCTL_SERIAL_GET_COMMSTATUS: {  // what has arrived and waits to be read
      SERIAL_STATUS status{};
      for (const Arrival& a : received_) status.AmountInInQueue += a.at <= requests.back().at;
      if (request.BufferLength < sizeof(status)) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(request.Buffer, &status, sizeof(status));
      return STATUS_SUCCESS;
    }
    default:
      other_requests.push_back(code);
      return STATUS_SUCCESS;
  }
}

// Waits until `wanted` bytes are in or the total time-out of the read has passed.
NTSTATUS TestSerialLine::Read(PSMARTCARD_EXTENSION extension) {
  auto& reply = extension->SmartcardReply;
  auto& k = host::kernel::Kernel::Current();
  ReadRecord record;
  record.wanted = reply.BufferLength;
  EXPECT_LE(reply.BufferLength, reply.BufferSize) << "read longer than the reply buffer";
  record.total_timeout_ms =
      record.wanted * timeouts_.ReadTotalTimeoutMultiplier + timeouts_.ReadTotalTimeoutConstant;
  host::kernel::Ticks deadline = k.Now() + host::kernel::Milliseconds(record.total_timeout_ms);
  ULONG in_time = 0;
  while (in_time < received_.size() && received_[in_time].at <= deadline) ++in_time;
  ULONG deliver = std::min<ULONG>(in_time, record.wanted);
  if (deliver == record.wanted && deliver > 0) {
    WaitForArrival(received_[deliver - 1].at);
  } else {
    DelayUntil(deadline);
  }
  for (ULONG i = 0; i < deliver; ++i) {
    reply.Buffer[i] = received_.front().byte;
    received_.pop_front();
  }
  record.delivered = deliver;
  record.status = deliver == 0 && record.wanted > 0 ? STATUS_TIMEOUT : STATUS_SUCCESS;
  if (report_delivered || record.status == STATUS_TIMEOUT) reply.BufferLength = deliver;
  reads.push_back(record);
  return record.status;
}

}  // namespace test_support
