// The library's other protocol helpers: commands passed on unchanged, the inverse convention's
// byte order, and T=1, which this library leaves to the reader driver.
#include "host/smclib/atr_parse.h"
#include "host/smclib/io_request.h"
#include "platform/rtl.h"
#include "platform/smclib.h"

extern "C" {

// Appends the command behind IoRequest's SCARD_IO_REQUEST header to SmartcardRequest.
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& request = SmartcardExtension->SmartcardRequest;
  const UCHAR* command = nullptr;
  ULONG length = 0;
  NTSTATUS status = host::smclib::CommandBehindHeader(*SmartcardExtension, &command, &length);
  if (!NT_SUCCESS(status)) return status;
  if (!request.Buffer || request.BufferLength > request.BufferSize ||
      request.BufferSize - request.BufferLength < length) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(request.Buffer + request.BufferLength, command, length);
  request.BufferLength += length;
  return STATUS_SUCCESS;
}

// The answer in SmartcardReply to IoRequest.ReplyBuffer behind a header naming the raw protocol.
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& io = SmartcardExtension->IoRequest;
  auto& reply = SmartcardExtension->SmartcardReply;
  if (reply.BufferLength > reply.BufferSize) return STATUS_INVALID_PARAMETER;
  ULONG needed = sizeof(SCARD_IO_REQUEST) + reply.BufferLength;
  if (!io.ReplyBuffer || io.ReplyBufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
  SCARD_IO_REQUEST header{SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
  RtlCopyMemory(io.ReplyBuffer, &header, sizeof(header));
  if (reply.BufferLength) {
    RtlCopyMemory(io.ReplyBuffer + sizeof(header), reply.Buffer, reply.BufferLength);
  }
  if (io.Information) *io.Information = needed;
  return STATUS_SUCCESS;
}

void NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length) {
  if (!Buffer) return;
  for (ULONG i = 0; i < Length; ++i) Buffer[i] = host::smclib::DecodeInverseConvention(Buffer[i]);
}

// A driver that hands T=1 to the library is told plainly that it is not done here, rather than
// sent a block nobody built.
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }

}  // extern "C"
