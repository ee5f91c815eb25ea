// Device-control routing. Every request is counted in IoCount and refused while the device is
// not usable; then, by control code: the serial port's requests are accepted and ignored, the
// private converter requests and the raw reader command go to their handlers, the smart card
// requests pass the check table and go to the smart card library with the reader link held.
//
// RejectedRequestCount counts requests the table refused; while it is not 0, presence and absence
// requests complete at once and every other request that passes lowers it. It is changed with
// interlocked operations only, as several threads may be in the routing at once.
//
// Before the device's first start the reader link has never been set up and the converter not
// configured: smart card requests and the raw reader command are refused with
// STATUS_DEVICE_NOT_READY, without the link. So are they, and the private converter requests, on
// a stopped device (a stop, or a start that failed), whose configuration is released: nothing is
// sent to it until it is started again.
#include "control/device_control.h"

#include "control/private_requests.h"
#include "driver/driver.h"
#include "reader/link_lock.h"
#include "reader/raw_command.h"
#include "reader/reader_extension.h"

// Minimum buffer lengths in the table: 0, not looked at; LENGTH_NOT_EMPTY, any but 0.
#define LENGTH_ANY 0
#define LENGTH_NOT_EMPTY 0xFFFFFFFF
#define TABLE_END 0xFFFFFFFF
#define STATE_LENGTH sizeof(ULONG)  // a protocol mask or a card state
// A system buffer pointer that stands for none.
#define SYSTEM_BUFFER_INVALID ((PVOID)(ULONG_PTR)0xFFFFFFFF)

// The serial port's requests, IOCTL_SERIAL_SET_BAUD_RATE (function 1) to
// IOCTL_SERIAL_SET_FIFO_CONTROL (function 39).
#define SERIAL_REQUEST_FIRST IOCTL_SERIAL_SET_BAUD_RATE
#define SERIAL_REQUEST_LAST IOCTL_SERIAL_SET_FIFO_CONTROL
#define SERIAL_REQUEST_STEP 4

// The private converter requests: CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED,
// FILE_ANY_ACCESS), 0x222000 to 0x222150.
#define PRIVATE_REQUEST(Function) \
  CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)
static const ULONG PrivateRequests[] = {
    PRIVATE_REQUEST(0x800), PRIVATE_REQUEST(0x801), PRIVATE_REQUEST(0x802), PRIVATE_REQUEST(0x805),
    PRIVATE_REQUEST(0x806), PRIVATE_REQUEST(0x807), PRIVATE_REQUEST(0x808), PRIVATE_REQUEST(0x809),
    PRIVATE_REQUEST(0x80E), PRIVATE_REQUEST(0x814), PRIVATE_REQUEST(0x850), PRIVATE_REQUEST(0x851),
    PRIVATE_REQUEST(0x852), PRIVATE_REQUEST(0x853), PRIVATE_REQUEST(0x854),
};
static_assert(PRIVATE_REQUEST(0x800) == 0x222000 && PRIVATE_REQUEST(0x854) == 0x222150,
              "private request codes");

// The smart card requests the library serves.
static const ULONG SmartcardRequests[] = {
    IOCTL_SMARTCARD_POWER,        IOCTL_SMARTCARD_GET_ATTRIBUTE, IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_TRANSMIT,     IOCTL_SMARTCARD_IS_PRESENT,    IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL, IOCTL_SMARTCARD_GET_STATE,     IOCTL_SMARTCARD_GET_LAST_ERROR,
};

typedef struct _REQUEST_CHECK {
  ULONG ControlCode;
  ULONG SystemBufferRequired;
  ULONG MinimumOutputLength;
  ULONG MinimumInputLength;
  NTSTATUS FailureStatus;
} REQUEST_CHECK;

static const REQUEST_CHECK RequestChecks[] = {
    {IOCTL_SMARTCARD_POWER, TRUE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_GET_ATTRIBUTE, TRUE, LENGTH_ANY, LENGTH_ANY, STATUS_INVALID_DEVICE_STATE},
    {IOCTL_SMARTCARD_SET_ATTRIBUTE, TRUE, LENGTH_ANY, LENGTH_NOT_EMPTY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_CONFISCATE, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_TRANSMIT, TRUE, LENGTH_NOT_EMPTY, LENGTH_NOT_EMPTY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_EJECT, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_SWALLOW, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_SET_PROTOCOL, TRUE, STATE_LENGTH, STATE_LENGTH, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_GET_LAST_ERROR, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_GET_PERF_CNTR, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_IS_PRESENT, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_IS_ABSENT, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {IOCTL_SMARTCARD_GET_STATE, TRUE, STATE_LENGTH, LENGTH_ANY, STATUS_NOT_SUPPORTED},
    {TABLE_END, FALSE, LENGTH_ANY, LENGTH_ANY, STATUS_SUCCESS},
};

static BOOLEAN InList(const ULONG* List, ULONG Count, ULONG ControlCode) {
  for (ULONG i = 0; i < Count; ++i) {
    if (List[i] == ControlCode) return TRUE;
  }
  return FALSE;
}

static BOOLEAN LengthTooShort(ULONG Minimum, ULONG Length) {
  if (Minimum == LENGTH_ANY) return FALSE;
  if (Length == 0) return TRUE;
  return Minimum != LENGTH_NOT_EMPTY && Length < Minimum;
}

NTSTATUS CheckRequest(PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG ControlCode = Stack->Parameters.DeviceIoControl.IoControlCode;
  const REQUEST_CHECK* Check = RequestChecks;
  while (Check->ControlCode != TABLE_END && Check->ControlCode != ControlCode) ++Check;
  if (Check->ControlCode == TABLE_END) return STATUS_NOT_SUPPORTED;
  PVOID SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
  if (Check->SystemBufferRequired &&
      (SystemBuffer == NULL || SystemBuffer == SYSTEM_BUFFER_INVALID)) {
    return Check->FailureStatus;
  }
  if (LengthTooShort(Check->MinimumOutputLength,
                     Stack->Parameters.DeviceIoControl.OutputBufferLength) ||
      LengthTooShort(Check->MinimumInputLength,
                     Stack->Parameters.DeviceIoControl.InputBufferLength)) {
    return Check->FailureStatus;
  }
  return STATUS_SUCCESS;
}

// Completes the request with Status (its information as it stands) and gives the count back.
static NTSTATUS Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoDecrement(DeviceObject);
  return Status;
}

// Lowers the count by one unless it is 0; returns whether it was above 0.
static BOOLEAN TakeRejection(volatile LONG* Count) {
  for (;;) {
    LONG Seen = *Count;
    if (Seen == 0) return FALSE;
    if (InterlockedCompareExchange(Count, Seen - 1, Seen) == Seen) return TRUE;
  }
}

#define GATE_RECHECK_100NS 10000000LL  // 1 s

NTSTATUS AcquireLinkAskingForPower(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtensionOf(DeviceObject)->SmartcardExtension;
  for (;;) {
    LARGE_INTEGER Wait;
    Wait.QuadPart = -GATE_RECHECK_100NS;
    if (AcquireReaderLink(SmartcardExtension, &Wait) == STATUS_SUCCESS) return STATUS_SUCCESS;
    PowerUpIfOwed(DeviceObject);
  }
}

static NTSTATUS SmartcardPath(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG ControlCode) {
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtensionOf(DeviceObject)->SmartcardExtension;
  volatile LONG* Rejected =
      (volatile LONG*)&SmartcardExtension->ReaderExtension->RejectedRequestCount;
  NTSTATUS Status = CheckRequest(Irp);
  if (!NT_SUCCESS(Status)) {
    InterlockedIncrement(Rejected);
    return Complete(DeviceObject, Irp, Status);
  }
  if (ControlCode == IOCTL_SMARTCARD_IS_PRESENT || ControlCode == IOCTL_SMARTCARD_IS_ABSENT) {
    // Taken and given back at once: the count stays as it is.
    if (InterlockedCompareExchange(Rejected, 0, 0) != 0) {
      return Complete(DeviceObject, Irp, STATUS_SUCCESS);
    }
  } else {
    TakeRejection(Rejected);
  }
  // The library completes the request or keeps it pending; it is not touched after the call.
  AcquireLinkAskingForPower(DeviceObject);
  Status = SmartcardDeviceControl(SmartcardExtension, Irp);
  ReleaseReaderLink(SmartcardExtension);
  IoDecrement(DeviceObject);
  return Status;
}

static NTSTATUS RawCommandPath(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Irp->AssociatedIrp.SystemBuffer == NULL ||
      Stack->Parameters.DeviceIoControl.InputBufferLength == 0 ||
      Stack->Parameters.DeviceIoControl.OutputBufferLength == 0) {
    return Complete(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
  }
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtensionOf(DeviceObject)->SmartcardExtension;
  BOOLEAN Handled = FALSE;
  AcquireLinkAskingForPower(DeviceObject);
  NTSTATUS Status = RawCommandIoctl(DeviceObject, Irp, &Handled);
  ReleaseReaderLink(SmartcardExtension);
  if (!Handled) return Complete(DeviceObject, Irp, Status);
  IoDecrement(DeviceObject);
  return Status;
}

static BOOLEAN IsSerialRequest(ULONG ControlCode) {
  return ControlCode >= SERIAL_REQUEST_FIRST && ControlCode <= SERIAL_REQUEST_LAST &&
         (ControlCode - SERIAL_REQUEST_FIRST) % SERIAL_REQUEST_STEP == 0;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  ULONG ControlCode = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  IoIncrement(DeviceObject);
  Irp->IoStatus.Information = 0;
  if (!DeviceIsStarted(Extension)) return Complete(DeviceObject, Irp, STATUS_DEVICE_DATA_ERROR);
  if (IsSerialRequest(ControlCode)) return Complete(DeviceObject, Irp, STATUS_SUCCESS);
  BOOLEAN Private = InList(PrivateRequests, ARRAYSIZE(PrivateRequests), ControlCode);
  if (Private && CurrentPnpState(Extension) == PNP_STATE_STOPPED) {
    return Complete(DeviceObject, Irp, STATUS_DEVICE_NOT_READY);
  }
  if (Private) {
    return Complete(DeviceObject, Irp, PrivateRequestIoctl(DeviceObject, Irp));
  }
  BOOLEAN Smartcard = InList(SmartcardRequests, ARRAYSIZE(SmartcardRequests), ControlCode);
  BOOLEAN RawCommand = ControlCode == IOCTL_RAW_READER_COMMAND;
  if ((Smartcard || RawCommand) && CurrentPnpState(Extension) != PNP_STATE_STARTED) {
    return Complete(DeviceObject, Irp, STATUS_DEVICE_NOT_READY);
  }
  if (Smartcard) return SmartcardPath(DeviceObject, Irp, ControlCode);
  if (RawCommand) return RawCommandPath(DeviceObject, Irp);
  if (ControlCode == IOCTL_SMARTCARD_EJECT || ControlCode == IOCTL_SMARTCARD_SWALLOW) {
    return Complete(DeviceObject, Irp, STATUS_NOT_SUPPORTED);
  }
  return Complete(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST);
}
