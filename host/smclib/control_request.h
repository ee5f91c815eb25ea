// One device-control request inside the library: what SmartcardDeviceControl read from the IRP,
// and how a handler hands back its result. Handlers run with HostOsData::request_mutex held.
#pragma once

#include "host/smclib/library_state.h"
#include "platform/io.h"
#include "platform/smclib.h"

namespace host::smclib {

// Function numbers from here on are the reader vendor's own requests (RDF_IOCTL_VENDOR).
inline constexpr ULONG kFirstVendorFunction = 2048;

inline constexpr ULONG FunctionOfCode(ULONG code) { return (code >> 2) & 0xFFF; }

// Error severity (the top two bits set); warnings and successes still carry output.
bool IsError(NTSTATUS status);

struct ControlRequest {
  PSMARTCARD_EXTENSION extension = nullptr;
  PIRP irp = nullptr;
  ULONG code = 0;
  PUCHAR buffer = nullptr;  // the system buffer: input first, then the output over it
  ULONG input_length = 0;
  ULONG output_length = 0;
  // Bytes returned; reader functions write it through IoRequest.Information.
  ULONG information = 0;
  // Set by a handler that has given the IRP away (pending with the driver, or completed already):
  // SmartcardDeviceControl then neither completes nor touches it and returns `returned`.
  BOOLEAN handed_off = FALSE;
  NTSTATUS returned = STATUS_SUCCESS;
};

// The input's first ULONG (an attribute tag, a power code, a protocol mask); false when the
// input is shorter.
bool ReadInputUlong(const ControlRequest& request, ULONG* value);
// Writes one ULONG answer; STATUS_BUFFER_TOO_SMALL, and nothing written, when it does not fit.
NTSTATUS WriteOutputUlong(ControlRequest& request, ULONG value);

// ReaderCapabilities.CurrentState, read under OsData->SpinLock.
ULONG CurrentCardState(PSMARTCARD_EXTENSION extension);

// Fills MajorIoControlCode, MinorIoControlCode and IoRequest (request and reply buffer both the
// system buffer, with the input and the output length; null only when the I/O manager gave no
// system buffer), calls the driver's reader function in `slot`, and clears IoRequest again: its
// buffers belong to the IRP. STATUS_NOT_SUPPORTED when the driver left the slot empty.
NTSTATUS CallReaderFunction(ControlRequest& request, ULONG slot, ULONG minor_code);

// The request kinds, one file each.
NTSTATUS GetAttribute(ControlRequest& request);
NTSTATUS SetAttribute(ControlRequest& request);
NTSTATUS TrackCard(ControlRequest& request);  // IS_PRESENT and IS_ABSENT
NTSTATUS Power(ControlRequest& request);
NTSTATUS SetProtocol(ControlRequest& request);
NTSTATUS Transmit(ControlRequest& request);

}  // namespace host::smclib
