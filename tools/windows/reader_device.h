// A smart card reader as a Windows application reaches it: found through SetupDi by the smart
// card reader device interface, opened by its path, and every request one DeviceIoControl on an
// overlapped handle. The smart card requests build their buffers as the resource manager does
// (a ULONG for the power code, the protocol mask and the attribute tag; the SCARD_IO_REQUEST
// header before a command and before its answer), as the host tool's reader handle does.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <winsmcrd.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/card_commands.h"

namespace tools::win {

// The smart card reader interface's text form, for messages.
inline constexpr char kReaderInterfaceText[] = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";

// The device paths of the reader interfaces present and enabled, in SetupDi's order. False and
// *error (one line) when SetupDi itself fails.
bool FindReaders(std::vector<std::string>* paths, std::string* error);

// One request in flight on the handle; it stays valid (and its buffers with it) until it is
// finished. Destroying an unfinished one cancels it and waits for its end.
class PendingRequest {
 public:
  PendingRequest(HANDLE device, uint32_t code, std::span<const uint8_t> input,
                 uint32_t output_length);
  ~PendingRequest();
  PendingRequest(const PendingRequest&) = delete;
  PendingRequest& operator=(const PendingRequest&) = delete;

  // Whether the request completed within milliseconds.
  bool Wait(DWORD milliseconds);
  // Asks the driver to cancel it (CancelIo: the requests this thread sent on the handle).
  void Cancel();
  // Waits for the final status; the output is Information bytes at most.
  RequestAnswer Finish();

 private:
  HANDLE device_;
  OVERLAPPED overlapped_{};
  std::vector<uint8_t> input_;
  std::vector<uint8_t> output_;
  bool pending_ = false;
  bool finished_ = false;
  RequestAnswer answer_;
};

class ReaderDevice : public CardReader {
 public:
  ReaderDevice() = default;
  ~ReaderDevice() override;
  ReaderDevice(const ReaderDevice&) = delete;
  ReaderDevice& operator=(const ReaderDevice&) = delete;

  // The NTSTATUS of the open.
  int32_t Open(const std::string& path);
  void Close();
  HANDLE handle() const { return handle_; }

  RequestAnswer Control(uint32_t code, std::span<const uint8_t> input,
                        uint32_t output_length) override;

  RequestAnswer GetAttribute(uint32_t tag) override;
  // IOCTL_SMARTCARD_GET_STATE; SCARD_UNKNOWN when the request fails.
  uint32_t GetState() override;
  RequestAnswer Power(uint32_t minor_code) override;
  // The protocol the reader selected comes back and is kept for Transmit.
  RequestAnswer SetProtocol(uint32_t mask) override;
  uint32_t protocol() const override { return protocol_; }
  // The command after the header; the answer (data and status word) without it.
  RequestAnswer Transmit(std::span<const uint8_t> command) override;
  RequestAnswer RawReaderCommand(std::span<const uint8_t> command) override;

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  uint32_t protocol_ = SCARD_PROTOCOL_UNDEFINED;
};

}  // namespace tools::win
