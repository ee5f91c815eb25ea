// The requests that go to the card through the driver: power, protocol selection and
// transmission. The library checks what it can before the reader function sees them.
#include "host/smclib/control_request.h"
#include "platform/rtl.h"

namespace host::smclib {

NTSTATUS Power(ControlRequest& request) {
  ULONG minor = 0;
  if (!ReadInputUlong(request, &minor)) return STATUS_INVALID_PARAMETER;
  if (minor != SCARD_POWER_DOWN && minor != SCARD_COLD_RESET && minor != SCARD_WARM_RESET) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // The output, when there is one, receives the ATR.
  return CallReaderFunction(request, RDF_CARD_POWER, minor);
}

// The answer, the protocol selected and its length, is the driver's to write, also when the
// protocol was in force already.
NTSTATUS SetProtocol(ControlRequest& request) {
  ULONG mask = 0;
  if (!ReadInputUlong(request, &mask)) return STATUS_INVALID_PARAMETER;
  if (request.output_length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  if (CurrentCardState(request.extension) <= SCARD_ABSENT) return STATUS_NO_MEDIA;
  return CallReaderFunction(request, RDF_SET_PROTOCOL, mask);
}

NTSTATUS Transmit(ControlRequest& request) {
  if (!request.buffer || request.input_length < sizeof(SCARD_IO_REQUEST)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (request.output_length < sizeof(SCARD_IO_REQUEST)) return STATUS_BUFFER_TOO_SMALL;
  if (CurrentCardState(request.extension) != SCARD_SPECIFIC) return STATUS_INVALID_DEVICE_STATE;
  SCARD_IO_REQUEST header;
  RtlCopyMemory(&header, request.buffer, sizeof header);
  if (header.dwProtocol != request.extension->CardCapabilities.Protocol.Selected) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  return CallReaderFunction(request, RDF_TRANSMIT, header.dwProtocol);
}

}  // namespace host::smclib
