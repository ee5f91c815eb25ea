// The application's command behind its SCARD_IO_REQUEST header in IoRequest's request buffer,
// found alike by the protocol helpers: the header's own length must cover the header and stay
// inside the buffer, since it comes from the application.
#pragma once

#include "platform/rtl.h"
#include "platform/smclib.h"

namespace host::smclib {

inline NTSTATUS CommandBehindHeader(const SMARTCARD_EXTENSION& extension, const UCHAR** command,
                                    ULONG* length) {
  const auto& io = extension.IoRequest;
  if (!io.RequestBuffer || io.RequestBufferLength < sizeof(SCARD_IO_REQUEST)) {
    return STATUS_INVALID_PARAMETER;
  }
  SCARD_IO_REQUEST header;
  RtlCopyMemory(&header, io.RequestBuffer, sizeof(header));
  if (header.cbPciLength < sizeof(SCARD_IO_REQUEST) ||
      header.cbPciLength > io.RequestBufferLength) {
    return STATUS_INVALID_PARAMETER;
  }
  *command = io.RequestBuffer + header.cbPciLength;
  *length = io.RequestBufferLength - header.cbPciLength;
  return STATUS_SUCCESS;
}

}  // namespace host::smclib
