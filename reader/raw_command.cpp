// The raw reader command: an application's command for the reader itself, carried over the link
// in the request's system buffer, which receives the answer.
#include "reader/raw_command.h"

#include "driver/pool_tag.h"
#include "link/link.h"
#include "reader/driver_devices.h"
#include "reader/io_request.h"
#include "reader/pass_through.h"
#include "reader/reader_commands.h"
#include "reader/reader_exchange.h"

// The library's request block, as the raw command finds it and puts it back.
typedef struct _SAVED_IO_REQUEST {
  PULONG Information;
  PUCHAR RequestBuffer;
  ULONG RequestBufferLength;
  PUCHAR ReplyBuffer;
  ULONG ReplyBufferLength;
} SAVED_IO_REQUEST;

static PINTERCEPT_HANDLER FindIntercept(const UCHAR* Command, ULONG Length) {
  if (Length < READER_COMMAND_HEADER_MATCHED) return NULL;
  for (const INTERCEPT_ENTRY* Entry = InterceptTable;
       Entry->Class != INTERCEPT_TABLE_END && Entry->Instruction != INTERCEPT_TABLE_END; ++Entry) {
    if (Entry->Class == Command[READER_OFFSET_CLASS] &&
        Entry->Instruction == Command[READER_OFFSET_INSTRUCTION]) {
      return Entry->Handler;
    }
  }
  return NULL;
}

// Up to RAW_COMMAND_ATTEMPTS exchanges until one succeeds. The command is sent from a copy: an
// answer that failed half-way may already have overwritten the caller's buffer, and every
// attempt is addressed to the reader afresh.
static NTSTATUS ForwardToReader(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG Length = SmartcardExtension->IoRequest.RequestBufferLength;
  PUCHAR Command = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Length, DRIVER_POOL_TAG);
  if (Command == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(Command, SmartcardExtension->IoRequest.RequestBuffer, Length);
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  ULONG ReplyLength = 0;
  for (ULONG Attempt = 0; Attempt < RAW_COMMAND_ATTEMPTS; ++Attempt) {
    UCHAR Dad = T1_NODE_READER;
    UCHAR Sad = T1_NODE_HOST;
    ReplyLength = SmartcardExtension->IoRequest.ReplyBufferLength;
    Status = T1Transceive(SmartcardExtension, &Dad, &Sad, Command, Length,
                          SmartcardExtension->IoRequest.ReplyBuffer, &ReplyLength);
    // An answer too long for the reply buffer is as long the next time. A reader that did not
    // answer the link's own retries and resynchronisations does not answer another attempt
    // either: it would only hold the link for another round and then find it given up.
    if (Status == STATUS_SUCCESS || Status == STATUS_BUFFER_TOO_SMALL) break;
    if (Status == STATUS_TIMEOUT) break;
    if (SmartcardExtension->ReaderExtension->LinkState >= LINK_STATE_NO_ANSWER) break;
  }
  ExFreePoolWithTag(Command, DRIVER_POOL_TAG);
  if (Status != STATUS_SUCCESS) return ReaderLinkStatus(Status);
  SetRequestInformation(SmartcardExtension, ReplyLength);
  return STATUS_SUCCESS;
}

NTSTATUS RawReaderCommand(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  SetRequestInformation(SmartcardExtension, 0);
  if (SmartcardExtension->IoRequest.RequestBuffer == NULL ||
      SmartcardExtension->IoRequest.RequestBufferLength == 0 ||
      SmartcardExtension->IoRequest.RequestBufferLength > COMMAND_BUFFER_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  // Every answer of the reader ends with its status word.
  if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
      SmartcardExtension->IoRequest.ReplyBufferLength < READER_STATUS_WORD_LENGTH) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  // The link frames its blocks in CommandBuffer while the library's request buffer is lent.
  SMARTCARD_REQUEST SavedRequest = SmartcardExtension->SmartcardRequest;
  SMARTCARD_REPLY SavedReply = SmartcardExtension->SmartcardReply;
  SmartcardExtension->SmartcardRequest.Buffer = ReaderExtension->CommandBuffer;
  SmartcardExtension->SmartcardRequest.BufferSize = COMMAND_BUFFER_SIZE;
  SmartcardExtension->SmartcardRequest.BufferLength = COMMAND_BUFFER_SIZE;

  NTSTATUS Status = STATUS_NOT_SUPPORTED;
  PINTERCEPT_HANDLER Handler = FindIntercept(SmartcardExtension->IoRequest.RequestBuffer,
                                             SmartcardExtension->IoRequest.RequestBufferLength);
  if (Handler != NULL) Status = Handler(SmartcardExtension);
  if (Status == STATUS_NOT_SUPPORTED) Status = ForwardToReader(SmartcardExtension);

  SmartcardExtension->SmartcardRequest = SavedRequest;
  SmartcardExtension->SmartcardReply = SavedReply;
  return Status;
}

NTSTATUS RawCommandIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PBOOLEAN Handled) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_RAW_READER_COMMAND) {
    *Handled = FALSE;
    return STATUS_SUCCESS;
  }
  PSMARTCARD_EXTENSION SmartcardExtension = SmartcardExtensionOfDevice(DeviceObject);
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  // The library's request block belongs to whoever holds LinkMutex.
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  SAVED_IO_REQUEST Saved = {
      SmartcardExtension->IoRequest.Information, SmartcardExtension->IoRequest.RequestBuffer,
      SmartcardExtension->IoRequest.RequestBufferLength, SmartcardExtension->IoRequest.ReplyBuffer,
      SmartcardExtension->IoRequest.ReplyBufferLength};
  ULONG Information = 0;
  // Command in, answer out, in the one system buffer.
  SmartcardExtension->IoRequest.RequestBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  SmartcardExtension->IoRequest.RequestBufferLength =
      Stack->Parameters.DeviceIoControl.InputBufferLength;
  SmartcardExtension->IoRequest.ReplyBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  SmartcardExtension->IoRequest.ReplyBufferLength =
      Stack->Parameters.DeviceIoControl.OutputBufferLength;
  SmartcardExtension->IoRequest.Information = &Information;
  NTSTATUS Status = RawReaderCommand(SmartcardExtension);
  SmartcardExtension->IoRequest.Information = Saved.Information;
  SmartcardExtension->IoRequest.RequestBuffer = Saved.RequestBuffer;
  SmartcardExtension->IoRequest.RequestBufferLength = Saved.RequestBufferLength;
  SmartcardExtension->IoRequest.ReplyBuffer = Saved.ReplyBuffer;
  SmartcardExtension->IoRequest.ReplyBufferLength = Saved.ReplyBufferLength;

  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  *Handled = TRUE;
  return Status;
}
