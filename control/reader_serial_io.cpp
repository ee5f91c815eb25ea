// The reader link's serial requests carried out on the converter: line settings and modem lines
// become converter requests, a purge empties the receive queue, time-outs go to the read dispatch,
// and reads and writes become requests to the device's own read and write dispatch routines.
//
// Reads and writes are sent to the device through the I/O manager, their parameters in the stack
// location that becomes current; UseNextStackLocation is never set here. (A write handed to the
// write dispatch by a direct call, its parameters in the next stack location, would be marked only
// by that device-wide flag, which an application's write arriving at the same moment would take.)
//
// Left open by the design, settled here:
// - A card guard time (CardCapabilities.GT) is the card's, on the reader's card interface; the
//   line to the reader needs none, so a block is always written whole.
// - Every rate the reader offers (9600 to 115200 bit/s) is sent as the converter's rate bit;
//   another rate is sent without one, as the converter's value 0.
// - A settings request whose record is shorter than its type is refused with
//   STATUS_INVALID_PARAMETER, nothing sent; a read or write request that cannot be built fails
//   with STATUS_INSUFFICIENT_RESOURCES, a read then delivering no byte.
// - A read reports the status of the read request itself, also when it had to be waited for.
// - The line status (IOCTL_SERIAL_GET_COMMSTATUS) asks the converter for its counters: the link
//   takes it after every block it receives, and only the converter knows of the characters it
//   received damaged and of those it holds and has not yet sent.
#include "control/reader_serial_io.h"

#include "driver/device_extension.h"
#include "reader/reader_extension.h"
#include "usb/converter_protocol.h"
#include "usb/usb_transport.h"

// Logged when the link asks to send more than its request buffer holds.
#define SERIAL_EVENT_REQUEST_TOO_LONG ((NTSTATUS)0xC0100003L)

typedef struct _CONVERTER_RATE {
  ULONG BaudRate;
  USHORT RateBit;
} CONVERTER_RATE;

// The rates the reader offers, each with the converter's rate bit for it.
static const CONVERTER_RATE ConverterRates[] = {
    {9600, CONVERTER_RATE_9600},   {19200, CONVERTER_RATE_19200}, {28800, CONVERTER_RATE_28800},
    {38400, CONVERTER_RATE_38400}, {57600, CONVERTER_RATE_57600}, {115200, CONVERTER_RATE_115200},
};
#define CONVERTER_RATE_NONE 0

static USHORT RateBitOf(ULONG BaudRate) {
  for (ULONG i = 0; i < ARRAYSIZE(ConverterRates); ++i) {
    if (ConverterRates[i].BaudRate == BaudRate) return ConverterRates[i].RateBit;
  }
  return CONVERTER_RATE_NONE;
}

static USHORT FramingOf(const SERIAL_LINE_CONTROL* Control) {
  USHORT Value =
      Control->StopBits == STOP_BIT_1 ? CONVERTER_STOP_BITS_ONE : CONVERTER_STOP_BITS_TWO;
  switch (Control->Parity) {
    case NO_PARITY:
      Value |= CONVERTER_PARITY_NONE;
      break;
    case ODD_PARITY:
      Value |= CONVERTER_PARITY_ODD;
      break;
    case EVEN_PARITY:
      Value |= CONVERTER_PARITY_EVEN;
      break;
  }
  return Value;
}

// The settings record the link put into the request buffer, or NULL when it is shorter than Size.
static PVOID SettingsRecord(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Size) {
  SMARTCARD_REQUEST* Request = &SmartcardExtension->SmartcardRequest;
  if (Request->Buffer == NULL || Request->BufferLength < Size) return NULL;
  return Request->Buffer;
}

// One read or write through the device's dispatch routine, as a request the I/O manager carries;
// *Moved receives the bytes the request moved.
static NTSTATUS TransferThroughDispatch(PDEVICE_OBJECT DeviceObject, ULONG SerialIoctl, PVOID Input,
                                        ULONG InputLength, PVOID Output, ULONG OutputLength,
                                        PULONG Moved) {
  BOOLEAN Read = SerialIoctl == SMARTCARD_READ;
  KEVENT Completed;
  IO_STATUS_BLOCK IoStatus;
  *Moved = 0;
  KeInitializeEvent(&Completed, NotificationEvent, FALSE);
  IoStatus.Status = STATUS_SUCCESS;
  IoStatus.Information = 0;
  PIRP Irp = IoBuildDeviceIoControlRequest(SerialIoctl, DeviceObject, Input, InputLength, Output,
                                           OutputLength, FALSE, &Completed, &IoStatus);
  if (Irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  Irp->Flags |= Read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  if (Read) {
    Next->MajorFunction = IRP_MJ_READ;
    Next->Parameters.Read.Length = OutputLength;
    Next->Parameters.Read.ByteOffset.QuadPart = 0;
  } else {
    Next->MajorFunction = IRP_MJ_WRITE;
    Next->Parameters.Write.Length = InputLength;
    Next->Parameters.Write.ByteOffset.QuadPart = 0;
  }
  NTSTATUS Status = IoCallDriver(DeviceObject, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Completed, Suspended, KernelMode, FALSE, NULL);
    Status = IoStatus.Status;
  }
  *Moved = (ULONG)IoStatus.Information;
  return Status;
}

static NTSTATUS ReadFromConverter(PSMARTCARD_EXTENSION SmartcardExtension) {
  SMARTCARD_REPLY* Reply = &SmartcardExtension->SmartcardReply;
  ULONG Delivered = 0;
  NTSTATUS Status =
      TransferThroughDispatch(SmartcardExtension->ReaderExtension->DeviceObject, SMARTCARD_READ,
                              NULL, 0, Reply->Buffer, Reply->BufferLength, &Delivered);
  // The link tells a short read from a whole one by this length.
  Reply->BufferLength = !NT_SUCCESS(Status) || Delivered > Reply->BufferLength ? 0 : Delivered;
  return Status;
}

static NTSTATUS WriteToConverter(PSMARTCARD_EXTENSION SmartcardExtension) {
  SMARTCARD_REQUEST* Request = &SmartcardExtension->SmartcardRequest;
  ULONG Sent = 0;
  return TransferThroughDispatch(SmartcardExtension->ReaderExtension->DeviceObject, SMARTCARD_WRITE,
                                 Request->Buffer, Request->BufferLength, NULL, 0, &Sent);
}

// The line's status as a serial port reports it: the errors since it was last asked and the
// characters received and not yet read, which include those the converter holds and has not yet
// sent on its IN pipe (a block's last character may wait there a polling period or more). The
// converter's loss counts run on; what moved since the last request is this request's errors.
// When the converter cannot be asked, only the receive queue's count is reported.
static void TakeLineStatus(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension,
                           PSERIAL_STATUS LineStatus) {
  RtlZeroMemory(LineStatus, sizeof(SERIAL_STATUS));
  CONVERTER_COUNTERS Counters;
  if (NT_SUCCESS(ReadConverterCounters(DeviceObject, &Counters))) {
    if (Extension->LossCountsKnown) {
      if (Counters.ReceiveErrors != Extension->SeenReceiveErrors) {
        LineStatus->Errors |= SERIAL_ERROR_PARITY;
      }
      if (Counters.ReceiveDropped != Extension->SeenReceiveDropped) {
        LineStatus->Errors |= SERIAL_ERROR_OVERRUN;
      }
    }
    Extension->LossCountsKnown = TRUE;
    Extension->SeenReceiveErrors = Counters.ReceiveErrors;
    Extension->SeenReceiveDropped = Counters.ReceiveDropped;
    LineStatus->AmountInInQueue = Counters.ReceiveLevel;
  }
  LineStatus->AmountInInQueue += QueueCount(&Extension->ReceiveQueue);
}

static NTSTATUS CarryOut(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject,
                         PDEVICE_EXTENSION Extension) {
  switch (SmartcardExtension->ReaderExtension->SerialIoctl) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
      PSERIAL_BAUD_RATE Rate =
          (PSERIAL_BAUD_RATE)SettingsRecord(SmartcardExtension, sizeof(SERIAL_BAUD_RATE));
      if (Rate == NULL) return STATUS_INVALID_PARAMETER;
      // The link must know when the converter did not take the rate: its blocks would be lost.
      return ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_LINE_SETTINGS,
                                     RateBitOf(Rate->BaudRate), 0);
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
      PSERIAL_LINE_CONTROL Control =
          (PSERIAL_LINE_CONTROL)SettingsRecord(SmartcardExtension, sizeof(SERIAL_LINE_CONTROL));
      if (Control == NULL) return STATUS_INVALID_PARAMETER;
      return ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_LINE_SETTINGS,
                                     FramingOf(Control), 0);
    }
    case IOCTL_SERIAL_SET_TIMEOUTS:
      // Only a whole record replaces the time-outs.
      if (SmartcardExtension->SmartcardRequest.Buffer != NULL &&
          SmartcardExtension->SmartcardRequest.BufferLength == sizeof(SERIAL_TIMEOUTS)) {
        RtlCopyMemory(&Extension->Timeouts, SmartcardExtension->SmartcardRequest.Buffer,
                      sizeof(SERIAL_TIMEOUTS));
      }
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
      ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_MODEM_LINES, CONVERTER_DTR_ON, 0);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_DTR:
      ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_MODEM_LINES, CONVERTER_DTR_OFF, 0);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS:
      ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_MODEM_LINES, CONVERTER_RTS_ON, 0);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_RTS:
      ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_MODEM_LINES, CONVERTER_RTS_OFF, 0);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE:
      // Whatever the mask: the link purges only to drop what it received late.
      ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_PURGE, CONVERTER_PURGE_RECEIVE, 0);
      QueueReset(&Extension->ReceiveQueue);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
      PSERIAL_STATUS LineStatus =
          (PSERIAL_STATUS)SettingsRecord(SmartcardExtension, sizeof(SERIAL_STATUS));
      if (LineStatus == NULL) return STATUS_BUFFER_TOO_SMALL;
      TakeLineStatus(DeviceObject, Extension, LineStatus);
      return STATUS_SUCCESS;
    }
    case SMARTCARD_READ:
      return ReadFromConverter(SmartcardExtension);
    case SMARTCARD_WRITE:
      return WriteToConverter(SmartcardExtension);
    default:
      // IOCTL_SERIAL_SET_BREAK_OFF, SET_CHARS, SET_HANDFLOW and the rest: nothing to do.
      return STATUS_SUCCESS;
  }
}

NTSTATUS ReaderSerialIo(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PDEVICE_OBJECT DeviceObject = SmartcardExtension->ReaderExtension->DeviceObject;
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (CurrentDevicePowerState(Extension) == PowerDeviceD3) {
    // A read still waiting for the powered-down converter ends at once.
    QueueWakeWaiter(&Extension->ReceiveQueue);
    return STATUS_DEVICE_DATA_ERROR;
  }
  // The converter is gone, or going: nothing more is sent to it.
  if (CurrentPnpState(Extension) >= PNP_STATE_SURPRISE_REMOVED) return STATUS_DEVICE_DATA_ERROR;
  // Stopped: the converter's configuration is released until the next start.
  if (CurrentPnpState(Extension) == PNP_STATE_STOPPED) return STATUS_DEVICE_NOT_READY;

  SMARTCARD_REPLY* Reply = &SmartcardExtension->SmartcardReply;
  SMARTCARD_REQUEST* Request = &SmartcardExtension->SmartcardRequest;
  if (Reply->BufferLength > Reply->BufferSize) Reply->BufferLength = Reply->BufferSize;
  if (Request->BufferLength > Request->BufferSize) {
    SmartcardLogError(SmartcardExtension->OsData->DeviceObject, SERIAL_EVENT_REQUEST_TOO_LONG, NULL,
                      0);
    return STATUS_BUFFER_TOO_SMALL;
  }
  return CarryOut(SmartcardExtension, DeviceObject, Extension);
}
