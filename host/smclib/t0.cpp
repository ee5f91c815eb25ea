// SmartcardT0Request and SmartcardT0Reply: a T=0 command and its answer between the application's
// buffers (behind their SCARD_IO_REQUEST header) and the library's request and reply buffers.
#include "host/smclib/io_request.h"
#include "platform/rtl.h"
#include "platform/smclib.h"

namespace {

constexpr ULONG kT0HeaderLength = 4;   // CLA INS P1 P2
constexpr ULONG kT0CommandLength = 5;  // with P3
constexpr ULONG kStatusWordLength = 2;
constexpr ULONG kShortLeZeroMeans = 256;

}  // namespace

extern "C" {

NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& request = SmartcardExtension->SmartcardRequest;
  const UCHAR* apdu = nullptr;
  ULONG apdu_length = 0;
  NTSTATUS status = host::smclib::CommandBehindHeader(*SmartcardExtension, &apdu, &apdu_length);
  if (!NT_SUCCESS(status)) return status;
  if (apdu_length < kT0HeaderLength) return STATUS_INVALID_PARAMETER;

  ULONG send = 0;  // bytes that go to the card: the 5-byte command and its data
  ULONG lc = 0, le = 0;
  if (apdu_length == kT0HeaderLength) {  // case 1: P3 = 0 is added
    send = kT0CommandLength;
  } else if (apdu_length == kT0CommandLength) {  // case 2: P3 is Le
    send = kT0CommandLength;
    le = apdu[4] ? apdu[4] : kShortLeZeroMeans;
  } else {
    lc = apdu[4];
    if (lc == 0) return STATUS_INVALID_PARAMETER;
    if (apdu_length == kT0CommandLength + lc) {             // case 3
    } else if (apdu_length == kT0CommandLength + lc + 1) {  // case 4: Le is not sent in T=0
      le = apdu[apdu_length - 1] ? apdu[apdu_length - 1] : kShortLeZeroMeans;
    } else {
      return STATUS_INVALID_PARAMETER;
    }
    send = kT0CommandLength + lc;
  }
  if (!request.Buffer || request.BufferLength > request.BufferSize ||
      request.BufferSize - request.BufferLength < send) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  PUCHAR out = request.Buffer + request.BufferLength;
  RtlCopyMemory(out, apdu, apdu_length < send ? apdu_length : send);
  if (apdu_length == kT0HeaderLength) out[4] = 0;
  request.BufferLength += send;
  SmartcardExtension->T0.Lc = lc;
  SmartcardExtension->T0.Le = le;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& io = SmartcardExtension->IoRequest;
  auto& reply = SmartcardExtension->SmartcardReply;
  if (reply.BufferLength < kStatusWordLength) return STATUS_DEVICE_PROTOCOL_ERROR;
  ULONG needed = sizeof(SCARD_IO_REQUEST) + reply.BufferLength;
  if (!io.ReplyBuffer || io.ReplyBufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
  SCARD_IO_REQUEST header{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
  RtlCopyMemory(io.ReplyBuffer, &header, sizeof(header));
  RtlCopyMemory(io.ReplyBuffer + sizeof(header), reply.Buffer, reply.BufferLength);
  if (io.Information) *io.Information = needed;
  return STATUS_SUCCESS;
}

}  // extern "C"
