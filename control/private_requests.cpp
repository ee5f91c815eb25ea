// The private converter interface: each code's lengths are checked before its handler touches
// the system buffer; the small requests (information, raw converter requests, purges) are served
// here.
#include "control/private_requests.h"

#include "control/device_control.h"
#include "control/private_interface.h"
#include "reader/link_lock.h"
#include "usb/converter_protocol.h"
#include "usb/usb_transport.h"

static const UCHAR RezovoInfo[REZOVO_INFO_LENGTH] = REZOVO_INFO_BYTES;

static NTSTATUS GetInfo(PPRIVATE_REQUEST Request) {
  if (Request->OutputLength != REZOVO_INFO_LENGTH) return STATUS_UNSUCCESSFUL;
  RtlCopyMemory(Request->Buffer, RezovoInfo, REZOVO_INFO_LENGTH);
  Request->Information = REZOVO_INFO_LENGTH;
  return STATUS_SUCCESS;
}

static NTSTATUS SetPortValueRequest(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->InputLength != PORT_REQUEST_INPUT_LENGTH ||
      Request->OutputLength != SET_PORT_VALUE_OUTPUT_LENGTH) {
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS Status = SetPortValue(DeviceObject, Request->Buffer[PORT_REQUEST_ARGUMENT]);
  Request->Buffer[STATUS_ECHO] = (UCHAR)Status;
  Request->Information = SET_PORT_VALUE_OUTPUT_LENGTH;
  return Status;
}

// The converter request named by the second input byte, sent with Value 0; its status and the
// first reply byte come back.
static NTSTATUS ReadPortRequest(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->InputLength != PORT_REQUEST_INPUT_LENGTH ||
      Request->OutputLength != READ_PORT_OUTPUT_LENGTH) {
    return STATUS_UNSUCCESSFUL;
  }
  USHORT Value = 0;
  NTSTATUS Status =
      ZarUSBSerConv_ReadPort(DeviceObject, Request->Buffer[PORT_REQUEST_ARGUMENT], &Value, NULL);
  Request->Buffer[STATUS_ECHO] = (UCHAR)Status;
  Request->Buffer[READ_PORT_REPLY] = (UCHAR)Value;
  Request->Information = READ_PORT_OUTPUT_LENGTH;
  return Status;
}

// The input bytes are the data stage. Without data the same request would write the converter's
// control register instead, so an empty input is refused.
static NTSTATUS WritePortDataRequest(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->InputLength == 0 || Request->InputLength > WRITE_PORT_DATA_LARGEST) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Request->OutputLength < WRITE_PORT_DATA_OUTPUT_LENGTH) return STATUS_BUFFER_TOO_SMALL;
  NTSTATUS Status = WritePortData(DeviceObject, Request->Buffer, Request->InputLength);
  Request->Buffer[STATUS_ECHO] = (UCHAR)Status;
  Request->Information = WRITE_PORT_DATA_OUTPUT_LENGTH;
  return Status;
}

// Codes that work on a record or answer with one refuse a request without any buffer.
static BOOLEAN NeedsBuffer(ULONG Code) {
  switch (Code) {
    case IOCTL_REZOVO_GET_PIPE_INFO:
    case IOCTL_REZOVO_GET_DEVICE_DESCRIPTOR:
    case IOCTL_REZOVO_GET_CONFIGURATION_DESCRIPTOR:
    case IOCTL_REZOVO_GET_INFO:
    case IOCTL_REZOVO_GET_STRING_DESCRIPTOR:
    case IOCTL_REZOVO_SET_PORT_VALUE:
    case IOCTL_REZOVO_READ_PORT:
    case IOCTL_REZOVO_WRITE_PORT_DATA:
    case IOCTL_REZOVO_COMMAND:
    case IOCTL_REZOVO_INTERFACE:
      return TRUE;
  }
  return FALSE;
}

static NTSTATUS CarryOut(PDEVICE_OBJECT DeviceObject, ULONG Code, PPRIVATE_REQUEST Request) {
  if (NeedsBuffer(Code) && Request->Buffer == NULL) return STATUS_UNSUCCESSFUL;
  switch (Code) {
    case IOCTL_REZOVO_GET_PIPE_INFO:
      return GetPipeInfo(DeviceObject, Request);
    case IOCTL_REZOVO_GET_DEVICE_DESCRIPTOR:
      return CopyDeviceDescriptor(DeviceObject, Request);
    case IOCTL_REZOVO_GET_CONFIGURATION_DESCRIPTOR:
      return CopyConfigurationDescriptor(DeviceObject, Request);
    case IOCTL_REZOVO_GET_INFO:
      return GetInfo(Request);
    case IOCTL_REZOVO_GET_STRING_DESCRIPTOR:
      return CopyStringDescriptor(DeviceObject, Request);
    case IOCTL_REZOVO_NOP:
      return STATUS_SUCCESS;
    case IOCTL_REZOVO_SET_PORT_VALUE:
      return SetPortValueRequest(DeviceObject, Request);
    case IOCTL_REZOVO_READ_PORT:
      return ReadPortRequest(DeviceObject, Request);
    case IOCTL_REZOVO_WRITE_PORT_DATA:
      return WritePortDataRequest(DeviceObject, Request);
    case IOCTL_REZOVO_PURGE_1:
      return ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_PURGE,
                                     CONVERTER_PURGE_TRANSMIT, 0);
    case IOCTL_REZOVO_PURGE_2:
      return ZarUSBSerConv_WritePort(DeviceObject, CONVERTER_REQUEST_PURGE, CONVERTER_PURGE_RECEIVE,
                                     0);
    case IOCTL_REZOVO_COMMAND:
      return CommandRecord(DeviceObject, Request);
    case IOCTL_REZOVO_INTERFACE:
      return InterfaceRecord(DeviceObject, Request);
    case IOCTL_REZOVO_UNUSED_805:
    case IOCTL_REZOVO_UNUSED_806:
      return STATUS_UNSUCCESSFUL;
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Requests that change what the reader link depends on (the line's settings, DTR, the converter's
// and the driver's queues, permanent reading). They take the link like the raw reader command, so
// that none lands inside an exchange; the settings ones have the next bring-up set the line up
// again.
static BOOLEAN ChangesTheLine(ULONG Code, PPRIVATE_REQUEST Request, PBOOLEAN Settings) {
  *Settings = FALSE;
  if (Code == IOCTL_REZOVO_PURGE_1 || Code == IOCTL_REZOVO_PURGE_2) return TRUE;
  if (Code != IOCTL_REZOVO_COMMAND || Request->Buffer == NULL ||
      Request->InputLength < COMMAND_RECORD_LENGTH) {
    return FALSE;
  }
  switch (Request->Buffer[COMMAND_RECORD_SUBCOMMAND]) {
    case COMMAND_WRITE_LINE_SETTINGS:
    case COMMAND_WRITE_MODEM_LINES:
      *Settings = TRUE;
      return TRUE;
    case COMMAND_WRITE_PURGE:
      return TRUE;
    case COMMAND_DRIVER:
      return RecordWord(Request->Buffer, COMMAND_RECORD_VALUE) ==
             REZOVO_Internal_StopPermanentReading;
  }
  return FALSE;
}

NTSTATUS PrivateRequestIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PRIVATE_REQUEST Request;
  Request.InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
  Request.OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  Request.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  // The I/O manager gives a buffer exactly when one of the lengths is not 0.
  if (Request.InputLength == 0 && Request.OutputLength == 0) Request.Buffer = NULL;
  Request.Information = 0;
  ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtensionOf(DeviceObject)->SmartcardExtension;
  BOOLEAN Settings;
  BOOLEAN TakesLink = ChangesTheLine(Code, &Request, &Settings);
  if (TakesLink) AcquireLinkAskingForPower(DeviceObject);
  NTSTATUS Status = CarryOut(DeviceObject, Code, &Request);
  if (TakesLink) {
    if (Settings) SmartcardExtension->ReaderExtension->LineChangedOutsideLink = TRUE;
    ReleaseReaderLink(SmartcardExtension);
  }
  // A failure carries no bytes back, whatever the handler echoed into the buffer.
  Irp->IoStatus.Information = NT_SUCCESS(Status) ? Request.Information : 0;
  return Status;
}
