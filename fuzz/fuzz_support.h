// What the fuzz targets on a whole machine share: the input taken byte by byte, requests sent
// through an application's handle with a bound on their completion, and the machine's end checks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <span>
#include <vector>

#include "host/machine/machine.h"
#include "host/machine/reader_handle.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char* target, const char* what) {
  std::fprintf(stderr, "%s: %s\n", target, what);
  std::abort();
}

// The fuzzer's input, consumed from the front; reads past its end give zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return uint16_t(Byte() | Byte() << 8); }
  uint32_t Long() { return uint32_t(Word() | uint32_t(Word()) << 16); }
  // `length` bytes: as many as the input still has, then a counting pattern.
  std::vector<UCHAR> Bytes(size_t length) {
    std::vector<UCHAR> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = at_ < size_ ? data_[at_++] : UCHAR(i);
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A length from one byte: small ones as they are, the rest among the sizes that matter (a page,
// the largest control transfer, past it, ...).
inline ULONG Length(uint8_t code) {
  static constexpr ULONG kLarge[] = {256, 258,  259,  260,   261,   288,   511,      512,
                                     513, 1024, 4096, 65535, 65536, 65537, 1u << 20, 0};
  constexpr uint8_t kSmall = 0xF0;
  return code < kSmall ? code : kLarge[code - kSmall];
}

// Every request must complete within this much virtual time. Presence and absence requests wait
// for the card to come or go: one that has not completed after a few of the driver's card status
// queries is cancelled and must then complete at once.
inline constexpr host::kernel::Ticks kRequestBound = host::kernel::Seconds(600);
inline constexpr host::kernel::Ticks kCardWait = host::kernel::Seconds(4);
inline constexpr host::kernel::Ticks kCancelBound = host::kernel::Seconds(10);
inline constexpr host::kernel::Ticks kPollStep = host::kernel::Milliseconds(100);

inline bool WaitDone(host::machine::Machine& m, host::io::AsyncIo& io, host::kernel::Ticks bound) {
  for (host::kernel::Ticks waited = 0; !io.done() && waited < bound; waited += kPollStep) {
    m.Wait(kPollStep);
  }
  return io.done();
}

// One device-control request through the handle, checked as an application sees it: it
// completes, and never reports more output than it was given room for.
inline host::io::IoResult Control(const char* target, host::machine::Machine& m,
                                  host::machine::ReaderHandle& reader, ULONG code,
                                  std::span<const UCHAR> input, ULONG output_length,
                                  bool may_wait_for_card) {
  host::io::AsyncIo io = reader.ControlAsync(code, input, output_length);
  if (!WaitDone(m, io, may_wait_for_card ? kCardWait : kRequestBound)) {
    if (!may_wait_for_card) Fail(target, "request not completed within its bound");
    reader.CancelIo();
    if (!WaitDone(m, io, kCancelBound)) Fail(target, "cancelled request never completed");
  }
  host::io::IoResult result = io.Wait();
  if (result.status == STATUS_PENDING) Fail(target, "request completed with STATUS_PENDING");
  if (result.information > output_length) Fail(target, "information beyond the output length");
  if (result.output.size() > output_length) Fail(target, "output beyond the output length");
  return result;
}

// Boots a machine with one converter and the reader opened on \Device\USBTESK0, runs body, and
// stops the process when the machine stopped (verifier, deadlock) or left something behind.
inline void OnOpenedReader(
    const char* target,
    const std::function<void(host::machine::Machine&, host::machine::ReaderHandle&)>& body) {
  host::machine::Machine machine;
  host::kernel::RunResult result = machine.Run([&](host::machine::Machine& m) {
    m.Plug();
    host::machine::ReaderHandle reader(m);
    if (reader.Open(host::machine::DeviceName(0)) != STATUS_SUCCESS) {
      Fail(target, "the reader did not open");
    }
    body(m, reader);
  });
  if (!result.ok()) {
    std::fprintf(stderr, "%s: machine stopped: %s\n", target, result.report.c_str());
    std::abort();
  }
}

}  // namespace fuzz
