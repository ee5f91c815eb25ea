// Sending one block: purge what arrived late, frame, write, arm the answer's timeouts.
#include "link/link.h"
#include "link/serial_request.h"

// Whether the block can be framed in the request buffer; nothing is sent for one that cannot.
static NTSTATUS CheckBlock(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Len, const UCHAR* Inf) {
  SMARTCARD_REQUEST* Request = &SmartcardExtension->SmartcardRequest;
  ULONG BlockLength = T1_PROLOGUE_LENGTH + Len + T1_EPILOGUE_LENGTH;
  if (Request->Buffer == NULL || Request->BufferSize < BlockLength) return STATUS_BUFFER_TOO_SMALL;
  if (Len != 0 && Inf == NULL) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// Frames the block in the request buffer, writes it and arms its answer's timeouts.
static NTSTATUS WriteBlock(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Nad, UCHAR Pcb, UCHAR Len,
                           const UCHAR* Inf, ULONG WaitingTime) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  SMARTCARD_REQUEST* Request = &SmartcardExtension->SmartcardRequest;
  ULONG BlockLength = T1_PROLOGUE_LENGTH + Len + T1_EPILOGUE_LENGTH;
  PUCHAR Block = Request->Buffer;
  // The INF may already lie in the request buffer, even overlapping where it goes.
  if (Len != 0) RtlMoveMemory(Block + T1_OFFSET_INF, Inf, Len);
  Block[T1_OFFSET_NAD] = Nad;
  Block[T1_OFFSET_PCB] = Pcb;
  Block[T1_OFFSET_LEN] = Len;
  EdcReset(SmartcardExtension);
  for (ULONG i = 0; i < BlockLength - T1_EPILOGUE_LENGTH; ++i)
    EdcUpdate(SmartcardExtension, Block[i]);
  Block[BlockLength - T1_EPILOGUE_LENGTH] = (UCHAR)(ReaderExtension->EdcValue & 0xFF);

  SmartcardExtension->SmartcardReply.BufferLength = 0;
  Request->BufferLength = BlockLength;
  NTSTATUS Status = LinkSerialRequest(SmartcardExtension, SMARTCARD_WRITE);
  if (Status != STATUS_SUCCESS) return Status;

  ReaderExtension->LinkTimeouts.ReadTotalTimeoutConstant = WaitingTime;
  ReaderExtension->LinkTimeouts.ReadIntervalTimeout = ReaderExtension->CharWaitingTime;
  ReaderExtension->LinkTimeouts.ReadTotalTimeoutMultiplier = ReaderExtension->CharWaitingTime;
  return LinkSerialRequestWithData(SmartcardExtension, IOCTL_SERIAL_SET_TIMEOUTS,
                                   &ReaderExtension->LinkTimeouts, sizeof(SERIAL_TIMEOUTS));
}

NTSTATUS T1SendBlock(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Nad, UCHAR Pcb, UCHAR Len,
                     const UCHAR* Inf, ULONG WaitingTime) {
  PAGED_CODE();
  NTSTATUS Status = CheckBlock(SmartcardExtension, Len, Inf);
  if (Status != STATUS_SUCCESS) return Status;
  ULONG PurgeMask = SERIAL_PURGE_RXCLEAR;
  Status = LinkSerialRequestWithData(SmartcardExtension, IOCTL_SERIAL_PURGE, &PurgeMask,
                                     sizeof(PurgeMask));
  if (Status != STATUS_SUCCESS) return Status;
  return WriteBlock(SmartcardExtension, Nad, Pcb, Len, Inf, WaitingTime);
}

NTSTATUS T1SendBlockKeepingInput(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Nad, UCHAR Pcb,
                                 UCHAR Len, const UCHAR* Inf, ULONG WaitingTime) {
  PAGED_CODE();
  NTSTATUS Status = CheckBlock(SmartcardExtension, Len, Inf);
  if (Status != STATUS_SUCCESS) return Status;
  return WriteBlock(SmartcardExtension, Nad, Pcb, Len, Inf, WaitingTime);
}
