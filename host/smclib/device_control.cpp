// SmartcardDeviceControl: takes an IOCTL_SMARTCARD_* request apart, answers what the library
// knows itself, hands the rest to the driver's reader functions, records the status for
// IOCTL_SMARTCARD_GET_LAST_ERROR and completes the request (or leaves it with the driver).
#include "host/smclib/control_request.h"
#include "platform/rtl.h"

using host::smclib::ControlRequest;
using host::smclib::HostOsData;
using host::smclib::HostOsDataOf;

namespace host::smclib {

bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

bool ReadInputUlong(const ControlRequest& request, ULONG* value) {
  if (!request.buffer || request.input_length < sizeof(ULONG)) return false;
  RtlCopyMemory(value, request.buffer, sizeof(ULONG));
  return true;
}

NTSTATUS WriteOutputUlong(ControlRequest& request, ULONG value) {
  if (!request.buffer || request.output_length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(request.buffer, &value, sizeof(ULONG));
  request.information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

ULONG CurrentCardState(PSMARTCARD_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->OsData->SpinLock, &irql);
  ULONG state = extension->ReaderCapabilities.CurrentState;
  KeReleaseSpinLock(&extension->OsData->SpinLock, irql);
  return state;
}

NTSTATUS CallReaderFunction(ControlRequest& request, ULONG slot, ULONG minor_code) {
  PSMARTCARD_EXTENSION e = request.extension;
  PREADER_FUNCTION function = e->ReaderFunction[slot];
  if (!function) return STATUS_NOT_SUPPORTED;
  e->MajorIoControlCode = request.code;
  e->MinorIoControlCode = minor_code;
  request.information = 0;
  // Both descriptors name the one system buffer, whatever their lengths: an empty output is the
  // system buffer with length 0, as the driver finds it on Windows.
  e->IoRequest.Information = &request.information;
  e->IoRequest.RequestBuffer = request.buffer;
  e->IoRequest.RequestBufferLength = request.input_length;
  e->IoRequest.ReplyBuffer = request.buffer;
  e->IoRequest.ReplyBufferLength = request.output_length;
  NTSTATUS status = function(e);
  e->IoRequest.Information = nullptr;
  e->IoRequest.RequestBuffer = nullptr;
  e->IoRequest.RequestBufferLength = 0;
  e->IoRequest.ReplyBuffer = nullptr;
  e->IoRequest.ReplyBufferLength = 0;
  // Past the output buffer the I/O manager would copy memory that is not the caller's.
  if (status != STATUS_PENDING && !IsError(status) && request.information > request.output_length) {
    SMCLIB_STOP(kMisuseReplyTooLong, request.code, "SmartcardDeviceControl",
                "reader function %u reported %u bytes for request 0x%X, more than its output "
                "buffer of %u",
                unsigned(slot), unsigned(request.information), unsigned(request.code),
                unsigned(request.output_length));
  }
  return status;
}

}  // namespace host::smclib

namespace {

bool IsVendorCode(ULONG code) {
  return DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_SMARTCARD &&
         host::smclib::FunctionOfCode(code) >= host::smclib::kFirstVendorFunction;
}

NTSTATUS Dispatch(ControlRequest& r) {
  using namespace host::smclib;
  PSMARTCARD_EXTENSION e = r.extension;
  switch (r.code) {
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
      return GetAttribute(r);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
      return SetAttribute(r);
    case IOCTL_SMARTCARD_POWER:
      return Power(r);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
      return SetProtocol(r);
    case IOCTL_SMARTCARD_TRANSMIT:
      return Transmit(r);
    case IOCTL_SMARTCARD_IS_PRESENT:
    case IOCTL_SMARTCARD_IS_ABSENT:
      return TrackCard(r);
    case IOCTL_SMARTCARD_GET_STATE:
      return WriteOutputUlong(r, CurrentCardState(e));
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
      return WriteOutputUlong(r, ULONG(e->LastError));
    case IOCTL_SMARTCARD_EJECT:
      return CallReaderFunction(r, RDF_CARD_EJECT, 0);
    case IOCTL_SMARTCARD_SWALLOW:
      return CallReaderFunction(r, RDF_READER_SWALLOW, 0);
    case IOCTL_SMARTCARD_CONFISCATE:
      return CallReaderFunction(r, RDF_CARD_CONFISCATE, 0);
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
      return STATUS_NOT_SUPPORTED;  // the library keeps no performance counters
    default:
      break;
  }
  // Vendor requests hand the driver the system buffer, so only buffered ones are taken.
  if (IsVendorCode(r.code) && METHOD_FROM_CTL_CODE(r.code) == METHOD_BUFFERED) {
    return CallReaderFunction(r, RDF_IOCTL_VENDOR, 0);
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  using namespace host::smclib;
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    SMCLIB_STOP(kMisuseWrongIrql, irql, "SmartcardDeviceControl",
                "called at IRQL %u; it runs at PASSIVE_LEVEL", unsigned(irql));
  }
  if (!SmartcardExtension || !SmartcardExtension->OsData) {
    SMCLIB_STOP(kMisuseNotInitialised, SmartcardExtension, "SmartcardDeviceControl",
                "the extension is not initialised (SmartcardInitialize)");
  }
  if (!Irp)
    SMCLIB_STOP(kMisuseNotDeviceControl, 0, "SmartcardDeviceControl", "called without an IRP");
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (Irp->CurrentLocation > Irp->StackCount || stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    SMCLIB_STOP(kMisuseNotDeviceControl, Irp, "SmartcardDeviceControl",
                "the IRP is not an IRP_MJ_DEVICE_CONTROL request in the driver's hands");
  }

  ControlRequest r;
  r.extension = SmartcardExtension;
  r.irp = Irp;
  r.code = stack->Parameters.DeviceIoControl.IoControlCode;
  r.buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  if (r.buffer) {
    r.input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    r.output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  }
  Irp->IoStatus.Information = 0;

  HostOsData* os = HostOsDataOf(SmartcardExtension);
  KeWaitForSingleObject(&os->request_mutex, Executive, KernelMode, FALSE, nullptr);
  os->os.CurrentIrp = Irp;
  NTSTATUS status = Dispatch(r);
  os->os.CurrentIrp = nullptr;
  // The status of a request that is still pending is not known yet; the one asking for the last
  // error leaves it alone, so that it can be asked again.
  if (r.code != IOCTL_SMARTCARD_GET_LAST_ERROR && status != STATUS_PENDING) {
    SmartcardExtension->LastError = ULONG(status);
  }
  KeReleaseMutex(&os->request_mutex, FALSE);

  if (r.handed_off) return r.returned;
  if (status == STATUS_PENDING) {
    SMCLIB_STOP(kMisusePendingNotAllowed, r.code, "SmartcardDeviceControl",
                "a reader function returned STATUS_PENDING for a request that cannot pend");
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = r.information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

}  // extern "C"
