// Fuzz target: the device-control dispatch of a started device, fed control codes with input and
// output of any length and content, from an application's handle on \Device\USBTESK0 of a
// machine with the driver loaded, the converter plugged in and the built-in card in the reader.
//
// Input: up to kRequests requests, each
//   [code][input length][output length][input bytes]
// code: below kOwnCodes one of the codes the driver knows or borders on (smart card, serial,
// private, raw reader command, the library's internal read and write, other methods and device
// types of the same functions); otherwise the next four bytes are the code. Lengths as
// fuzz::Length gives them; input bytes the input has not got are a counting pattern.
#include <algorithm>

#include "control/private_interface.h"
#include "fuzz/fuzz_support.h"
#include "platform/ntddser.h"

namespace {

constexpr const char* kTarget = "fuzz_device_control";
constexpr size_t kRequests = 12;
constexpr uint8_t kOwnCodes = 0xF8;
// Function numbers of the serial codes the routing accepts, and one beyond.
constexpr ULONG kSerialFunctions = 40;
// Private function numbers: those with handlers and the unused ones between and around them.
constexpr ULONG kPrivateFirst = 0x7FF;
constexpr ULONG kPrivateLast = 0x856;

std::vector<ULONG> OwnCodes() {
  std::vector<ULONG> codes = {
      IOCTL_SMARTCARD_POWER,
      IOCTL_SMARTCARD_GET_ATTRIBUTE,
      IOCTL_SMARTCARD_SET_ATTRIBUTE,
      IOCTL_SMARTCARD_CONFISCATE,
      IOCTL_SMARTCARD_TRANSMIT,
      IOCTL_SMARTCARD_EJECT,
      IOCTL_SMARTCARD_SWALLOW,
      IOCTL_SMARTCARD_IS_PRESENT,
      IOCTL_SMARTCARD_IS_ABSENT,
      IOCTL_SMARTCARD_SET_PROTOCOL,
      IOCTL_SMARTCARD_GET_STATE,
      IOCTL_SMARTCARD_GET_LAST_ERROR,
      IOCTL_SMARTCARD_GET_PERF_CNTR,
      host::machine::kIoctlRawReaderCommand,
      SMARTCARD_READ,
      SMARTCARD_WRITE,
  };
  for (ULONG f = 1; f <= kSerialFunctions; ++f) codes.push_back(SERIAL_CTL_CODE(f));
  for (ULONG f = kPrivateFirst; f <= kPrivateLast; ++f) codes.push_back(REZOVO_CTL_CODE(f));
  // The same functions with another transfer method (METHOD_NEITHER hands the application's
  // buffers over as they are) or another device type.
  codes.push_back(host::machine::kIoctlRawReaderCommand | METHOD_NEITHER);
  codes.push_back(IOCTL_REZOVO_COMMAND | METHOD_NEITHER);
  codes.push_back(IOCTL_SMARTCARD_TRANSMIT | METHOD_NEITHER);
  codes.push_back(IOCTL_SERIAL_SET_BAUD_RATE | METHOD_NEITHER);
  codes.push_back(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x853, METHOD_BUFFERED, FILE_ANY_ACCESS));
  return codes;
}

bool WaitsForCard(ULONG code) {
  return code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT;
}

bool Known(ULONG code, const std::vector<ULONG>& handled) {
  return std::find(handled.begin(), handled.end(), code) != handled.end();
}

// What the routing answers by the code alone, whatever the buffers.
void CheckRouting(ULONG code, const host::io::IoResult& r) {
  static const std::vector<ULONG> routed = [] {
    std::vector<ULONG> c = {IOCTL_SMARTCARD_POWER,
                            IOCTL_SMARTCARD_GET_ATTRIBUTE,
                            IOCTL_SMARTCARD_SET_ATTRIBUTE,
                            IOCTL_SMARTCARD_TRANSMIT,
                            IOCTL_SMARTCARD_IS_PRESENT,
                            IOCTL_SMARTCARD_IS_ABSENT,
                            IOCTL_SMARTCARD_SET_PROTOCOL,
                            IOCTL_SMARTCARD_GET_STATE,
                            IOCTL_SMARTCARD_GET_LAST_ERROR,
                            IOCTL_SMARTCARD_EJECT,
                            IOCTL_SMARTCARD_SWALLOW,
                            host::machine::kIoctlRawReaderCommand,
                            IOCTL_REZOVO_GET_PIPE_INFO,
                            IOCTL_REZOVO_GET_DEVICE_DESCRIPTOR,
                            IOCTL_REZOVO_GET_CONFIGURATION_DESCRIPTOR,
                            IOCTL_REZOVO_UNUSED_805,
                            IOCTL_REZOVO_UNUSED_806,
                            IOCTL_REZOVO_GET_INFO,
                            IOCTL_REZOVO_GET_STRING_DESCRIPTOR,
                            IOCTL_REZOVO_NOP,
                            IOCTL_REZOVO_SET_PORT_VALUE,
                            IOCTL_REZOVO_READ_PORT,
                            IOCTL_REZOVO_WRITE_PORT_DATA,
                            IOCTL_REZOVO_PURGE_1,
                            IOCTL_REZOVO_PURGE_2,
                            IOCTL_REZOVO_COMMAND,
                            IOCTL_REZOVO_INTERFACE};
    return c;
  }();
  bool serial = code >= IOCTL_SERIAL_SET_BAUD_RATE &&
                code <= SERIAL_CTL_CODE(kSerialFunctions - 1) && (code & 3) == METHOD_BUFFERED;
  if (serial) {
    if (r.status != STATUS_SUCCESS || r.information != 0) {
      fuzz::Fail(kTarget, "serial-port request not accepted without effect");
    }
  } else if (!Known(code, routed)) {
    if (r.status != STATUS_INVALID_DEVICE_REQUEST || r.information != 0) {
      fuzz::Fail(kTarget, "unknown code not refused with STATUS_INVALID_DEVICE_REQUEST");
    }
  } else if (code == IOCTL_SMARTCARD_EJECT || code == IOCTL_SMARTCARD_SWALLOW) {
    if (r.status != STATUS_NOT_SUPPORTED) fuzz::Fail(kTarget, "eject or swallow not refused");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<ULONG> own = OwnCodes();
  fuzz::Input in(data, size);
  if (in.empty()) return -1;
  fuzz::OnOpenedReader(kTarget, [&](host::machine::Machine& m, host::machine::ReaderHandle& r) {
    for (size_t i = 0; i < kRequests && !in.empty(); ++i) {
      uint8_t selector = in.Byte();
      ULONG code = selector < kOwnCodes ? own[selector % own.size()] : in.Long();
      ULONG input_length = fuzz::Length(in.Byte());
      ULONG output_length = fuzz::Length(in.Byte());
      std::vector<UCHAR> input = in.Bytes(input_length);
      host::io::IoResult result =
          fuzz::Control(kTarget, m, r, code, input, output_length, WaitsForCard(code));
      CheckRouting(code, result);
    }
  });
  return 0;
}
