// The 10-byte command record: a converter request (OUT or IN) or one of the driver's sub-codes,
// among them the control of permanent reading and of the reading thread.
#include "control/device_control.h"
#include "control/private_interface.h"
#include "reader/link_lock.h"
#include "usb/converter_protocol.h"
#include "usb/usb_transport.h"

#define RATE_CODE_MASK 0xFF00

static NTSTATUS WriteRequest(PDEVICE_OBJECT DeviceObject, UCHAR SubCommand, USHORT Value,
                             USHORT Index) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  NTSTATUS Status = ZarUSBSerConv_WritePort(DeviceObject, SubCommand, Value, Index);
  // A new rate may want another polling interval, whether the converter took the rate or not.
  if (SubCommand == COMMAND_WRITE_LINE_SETTINGS && (Value & RATE_CODE_MASK) != 0 &&
      Extension->AdaptAlternateSetting) {
    SelectSettingForRate(DeviceObject, Extension->ConfigurationDescriptor,
                         (USHORT)(Value & RATE_CODE_MASK));
  }
  return Status;
}

// The reply words replace Value and Index; the record comes back only after a success.
static NTSTATUS ReadRequest(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request,
                            UCHAR SubCommand) {
  if (Request->OutputLength < COMMAND_RECORD_LENGTH) return STATUS_BUFFER_TOO_SMALL;
  UCHAR Record[COMMAND_RECORD_LENGTH];
  RtlCopyMemory(Record, Request->Buffer, COMMAND_RECORD_LENGTH);
  USHORT Value = RecordWord(Record, COMMAND_RECORD_VALUE);
  USHORT Index = RecordWord(Record, COMMAND_RECORD_INDEX);
  NTSTATUS Status = ZarUSBSerConv_ReadPort(DeviceObject, SubCommand, &Value, &Index);
  if (Status != STATUS_SUCCESS) return Status;
  SetRecordWord(Record, COMMAND_RECORD_VALUE, Value);
  SetRecordWord(Record, COMMAND_RECORD_INDEX, Index);
  RtlCopyMemory(Request->Buffer, Record, COMMAND_RECORD_LENGTH);
  Request->Information = COMMAND_RECORD_LENGTH;
  return STATUS_SUCCESS;
}

static NTSTATUS AnswerWord(PPRIVATE_REQUEST Request, USHORT Result) {
  SetRecordWord(Request->Buffer, COMMAND_RECORD_INDEX, Result);
  Request->Information = COMMAND_RECORD_LENGTH;
  return STATUS_SUCCESS;
}

// Starts and stops of the reading thread are made one at a time, and never in the middle of an
// exchange on the reader link, whose reads the thread serves: they are made holding the link.
static void SetReadingThread(PDEVICE_OBJECT DeviceObject, USHORT Argument) {
  PSMARTCARD_EXTENSION SmartcardExtension = &DeviceExtensionOf(DeviceObject)->SmartcardExtension;
  AcquireLinkAskingForPower(DeviceObject);
  if (Argument == READING_THREAD_START) {
    StartReadingThread(DeviceObject);
  } else {
    StopReadingThread(DeviceObject);
  }
  ReleaseReaderLink(SmartcardExtension);
}

static BOOLEAN AnswersWithWord(USHORT SubCode) {
  switch (SubCode) {
    case REZOVO_Internal_GetRateAdaptation:
    case REZOVO_Internal_AnswerOne:
    case REZOVO_Internal_AnswerZero:
    case REZOVO_Internal_AnswerAllOnes:
    case REZOVO_Internal_GetReadBufferSize:
    case REZOVO_Internal_AnswerZeroToo:
    case REZOVO_Internal_IsReadingThread:
      return TRUE;
  }
  return FALSE;
}

static NTSTATUS DriverSubCode(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request, USHORT SubCode,
                              USHORT Argument) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  BOOLEAN ThreadExists = Extension->ReaderThreadHandle != NULL;
  if (AnswersWithWord(SubCode) && Request->OutputLength < COMMAND_RECORD_LENGTH) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  switch (SubCode) {
    case REZOVO_Internal_EnableRateAdaptation:
      Extension->AdaptAlternateSetting = TRUE;
      return STATUS_SUCCESS;
    case REZOVO_Internal_DisableRateAdaptation:
      Extension->AdaptAlternateSetting = FALSE;
      return STATUS_SUCCESS;
    case REZOVO_Internal_GetRateAdaptation:
      return AnswerWord(Request, Extension->AdaptAlternateSetting ? 1 : 0);
    case REZOVO_Internal_AnswerOne:
      return AnswerWord(Request, 1);
    case REZOVO_Internal_AnswerZero:
    case REZOVO_Internal_AnswerZeroToo:
      return AnswerWord(Request, 0);
    case REZOVO_Internal_AnswerAllOnes:
      return AnswerWord(Request, RESULT_WORD_ALL_ONES);
    case REZOVO_Internal_GetReadBufferSize:
      return AnswerWord(Request, (USHORT)(ThreadExists ? Extension->ReceiveQueue.Size
                                                       : READ_BUFFER_SIZE_WITHOUT_THREAD));
    case REZOVO_Internal_Nothing:
      return STATUS_SUCCESS;
    case REZOVO_Internal_IsReadingThread:
      return AnswerWord(Request, ThreadExists ? 1 : 0);
    case REZOVO_Internal_SetReadingThread:
      SetReadingThread(DeviceObject, Argument);
      return STATUS_SUCCESS;
    case REZOVO_Internal_StartPermanentReading:
      EnableReading(DeviceObject);
      return STATUS_SUCCESS;
    case REZOVO_Internal_StopPermanentReading:
      // Returns once the thread's transfer has ended: it then waits idle for the next enable.
      PauseReading(DeviceObject);
      return STATUS_SUCCESS;
  }
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS CommandRecord(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  if (Request->InputLength < COMMAND_RECORD_LENGTH) return STATUS_INVALID_PARAMETER;
  UCHAR SubCommand = Request->Buffer[COMMAND_RECORD_SUBCOMMAND];
  USHORT Value = RecordWord(Request->Buffer, COMMAND_RECORD_VALUE);
  USHORT Index = RecordWord(Request->Buffer, COMMAND_RECORD_INDEX);
  NTSTATUS Status;
  switch (SubCommand) {
    case COMMAND_WRITE_LINE_SETTINGS:
    case COMMAND_WRITE_MODEM_LINES:
    case COMMAND_WRITE_PURGE:
      Status = WriteRequest(DeviceObject, SubCommand, Value, Index);
      break;
    case COMMAND_READ_COUNTERS:
    case COMMAND_READ_PORT:
      Status = ReadRequest(DeviceObject, Request, SubCommand);
      break;
    case COMMAND_DRIVER:
      Status = DriverSubCode(DeviceObject, Request, Value, Index);
      break;
    default:
      Status = STATUS_NOT_SUPPORTED;
      break;
  }
  if (SubCommand == COMMAND_WRITE_MODEM_LINES && (Value & COMMAND_MODEM_LINES_RESET_QUEUE) != 0) {
    QueueReset(&DeviceExtensionOf(DeviceObject)->ReceiveQueue);
  }
  return Status;
}
