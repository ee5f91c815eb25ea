// A smart card reader as an application holds it: one handle, opened by path ("\Device\USBTESK0",
// a reader interface's symbolic link, a pipe name after the device name), and the requests
// applications and the smart card resource manager send through it, each as one
// IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ or IRP_MJ_WRITE of an application thread.
//
// The smart card requests build their buffers as the resource manager does: a ULONG for the
// power code, the protocol mask and the attribute tag; for a transmission the 8-byte
// SCARD_IO_REQUEST header before the command (naming the protocol the last selection answered)
// and before the answer. Control() sends any other code (private requests, raw reader commands)
// with the bytes given.
//
// Calls come from the machine's threads at PASSIVE_LEVEL. The handle is closed when the object
// goes, if it was not closed before; requests still in flight then are the driver's to finish
// at cleanup.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/io/application.h"
#include "platform/smclib.h"

namespace host::machine {

class Machine;

// The SCARD_IO_REQUEST header before a command and its answer.
inline constexpr ULONG kIoRequestHeaderSize = 8;
// The driver's raw reader command: the input is a reader command, sent to the reader over the
// link; the output is the reader's whole answer, status word included. 0x3100DC.
inline constexpr ULONG kIoctlRawReaderCommand = SCARD_CTL_CODE(55);
// Room for an ATR (at most 33 bytes) and more.
inline constexpr ULONG kAtrCapacity = 64;
// 256 bytes of answer data and the status word.
inline constexpr ULONG kAnswerCapacity = 258;
inline constexpr ULONG kAttributeCapacity = 64;

// The output as one ULONG (state, protocol, numeric attributes); nothing when it is not one.
std::optional<ULONG> OutputUlong(const io::IoResult& result);
// The output as text, without trailing zeros (vendor name, reader type).
std::string OutputText(const io::IoResult& result);
// Whether a reader's answer ends with its success status word 90 00.
bool ReaderAccepted(std::span<const uint8_t> answer);

class ReaderHandle {
 public:
  explicit ReaderHandle(Machine& machine);
  explicit ReaderHandle(io::IoManager& io);
  ~ReaderHandle();
  ReaderHandle(const ReaderHandle&) = delete;
  ReaderHandle& operator=(const ReaderHandle&) = delete;

  // Opens the path; a second Open closes nothing and is refused while a handle is open.
  NTSTATUS Open(std::u16string_view path);
  NTSTATUS Close();
  bool is_open() const { return handle_ != io::kInvalidHandle; }

  // --- any request ---
  io::IoResult Control(ULONG code, std::span<const UCHAR> input, ULONG output_length);
  io::AsyncIo ControlAsync(ULONG code, std::span<const UCHAR> input, ULONG output_length);
  io::IoResult Read(ULONG length);
  io::IoResult Write(std::span<const UCHAR> data);
  // Cancels the handle's requests in flight.
  NTSTATUS CancelIo();

  // --- smart card requests ---
  io::IoResult GetAttribute(ULONG tag, ULONG length = kAttributeCapacity);
  // IOCTL_SMARTCARD_GET_STATE; SCARD_UNKNOWN when the request fails.
  ULONG GetState();
  // SCARD_COLD_RESET, SCARD_WARM_RESET (the ATR comes back) or SCARD_POWER_DOWN.
  io::IoResult Power(ULONG minor_code, ULONG atr_capacity = kAtrCapacity);
  // The protocol the reader selected comes back and is kept for Transmit.
  io::IoResult SetProtocol(ULONG mask);
  ULONG protocol() const { return protocol_; }
  // The command after the header; the answer (data and status word) without it.
  io::IoResult Transmit(std::span<const UCHAR> command, ULONG answer_capacity = kAnswerCapacity);
  // IOCTL_SMARTCARD_IS_PRESENT / IS_ABSENT: complete when the card is (or is no longer) in the
  // slot; until then they pend in the driver.
  io::AsyncIo IsPresent();
  io::AsyncIo IsAbsent();

  // --- the driver's own requests ---
  io::IoResult RawReaderCommand(std::span<const UCHAR> command,
                                ULONG answer_capacity = kAnswerCapacity);
  // The reader's set-parameters command with the line rate, through the raw reader command; the
  // reader's answer comes back. STATUS_INVALID_PARAMETER for a rate the reader does not know.
  io::IoResult SwitchRate(ULONG rate);

 private:
  io::IoManager& io_;
  io::Application application_;
  io::Handle handle_ = io::kInvalidHandle;
  ULONG protocol_ = SCARD_PROTOCOL_UNDEFINED;
};

}  // namespace host::machine
