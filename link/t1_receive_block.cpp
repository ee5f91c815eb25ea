// Receiving one block in three reads: NAD; PCB and LEN; INF and LRC.
#include "link/link.h"
#include "link/serial_request.h"

// A character on the line: start bit, eight data bits (the converter sends no other word
// length), the parity bit if any, stop bits.
#define LINE_START_BITS 1
#define LINE_DATA_BITS 8
#define MS_PER_SECOND 1000

// Reads Length bytes to reply offset Offset; *Delivered receives how many came. A serial routine
// that reports how many bytes it delivered (by lowering SmartcardReply.BufferLength) lets a short
// read be told from a full one: without that, stale bytes left in the buffer from an earlier
// block could complete a block whose LRC happens to match.
static NTSTATUS ReadPart(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Offset, ULONG Length,
                         PULONG Delivered) {
  SMARTCARD_REPLY* Reply = &SmartcardExtension->SmartcardReply;
  PUCHAR Start = Reply->Buffer;
  ULONG Size = Reply->BufferSize;
  Reply->Buffer = Start + Offset;
  Reply->BufferSize = Size - Offset;
  Reply->BufferLength = Length;
  NTSTATUS Status = LinkSerialRequest(SmartcardExtension, SMARTCARD_READ);
  *Delivered = Status == STATUS_SUCCESS ? Reply->BufferLength : 0;
  Reply->Buffer = Start;
  Reply->BufferSize = Size;
  if (Status == STATUS_SUCCESS && *Delivered == 0) Status = STATUS_TIMEOUT;
  if (Status == STATUS_SUCCESS && *Delivered < Length) Status = STATUS_CRC_ERROR;
  return Status;
}

// Reads the rest of a block that has begun. The reader may pause for up to the character waiting
// time before each character, so a block may take many of them: a read that ends with some of
// the bytes is followed by one for those still missing, each bounded by the character waiting
// time and their time on the line. Only a read that brings nothing ends the block short.
static NTSTATUS ReadRest(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Offset, ULONG Length) {
  ULONG Done = 0;
  for (;;) {
    ULONG Delivered;
    NTSTATUS Status = ReadPart(SmartcardExtension, Offset + Done, Length - Done, &Delivered);
    Done += Delivered;
    if (Status == STATUS_SUCCESS) return STATUS_SUCCESS;
    if (Status == STATUS_TIMEOUT && Done != 0) return STATUS_CRC_ERROR;
    if (Status != STATUS_CRC_ERROR) return Status;
  }
}

// Replaces the serial routine's read time limits for the reads that follow; LinkTimeouts keeps
// what the block sender armed.
static NTSTATUS SetReadTimeouts(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Interval,
                                ULONG Multiplier, ULONG Constant) {
  SERIAL_TIMEOUTS Timeouts = SmartcardExtension->ReaderExtension->LinkTimeouts;
  Timeouts.ReadIntervalTimeout = Interval;
  Timeouts.ReadTotalTimeoutMultiplier = Multiplier;
  Timeouts.ReadTotalTimeoutConstant = Constant;
  return LinkSerialRequestWithData(SmartcardExtension, IOCTL_SERIAL_SET_TIMEOUTS, &Timeouts,
                                   sizeof(Timeouts));
}

// Whole milliseconds that are more than one character takes on the link's line.
static ULONG CharacterTimeMs(PREADER_EXTENSION ReaderExtension) {
  const SERIAL_LINE_CONTROL* Control = &ReaderExtension->LinkLineControl;
  ULONG BaudRate = ReaderExtension->LinkBaudRate.BaudRate;
  if (BaudRate == 0) BaudRate = LINK_DEFAULT_BAUD_RATE;
  ULONG Bits = LINE_START_BITS + LINE_DATA_BITS + (Control->Parity != NO_PARITY ? 1 : 0) +
               (Control->StopBits == STOP_BIT_1 ? 1 : 2);
  return Bits * MS_PER_SECOND / BaudRate + 1;
}

// The block waiting time armed with the block sent bounds the wait for an answer's first
// character only. Once it is in, the reader is sending: a pause of the character waiting time
// ends the block, and each further read may take no longer than that pause plus the time its
// characters take on the line. A total of (bytes x CharWaitingTime + waiting time) would hold
// the link for minutes when the reader stops inside a block or a damaged LEN asks for more than
// comes. The total, not the interval, has to bound a read that starts after the reader has
// stopped, since a serial port's interval only runs once a read has a character.
static NTSTATUS ArmRestOfBlockTimeouts(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  return SetReadTimeouts(SmartcardExtension, ReaderExtension->CharWaitingTime,
                         CharacterTimeMs(ReaderExtension), ReaderExtension->CharWaitingTime);
}

// After a damaged block the rest of it may still be on its way: a character inserted or a LEN
// byte hit makes the block longer than what was read. Its tail must not become the start of the
// next block read (shifted by a byte, a repeated block can even pass its LRC), so the link waits
// until the line has been quiet for a while, swallowing what comes, before it answers. The next
// block sent purges and arms its own timeouts again.
static void WaitForQuietLine(PSMARTCARD_EXTENSION SmartcardExtension) {
  SMARTCARD_REPLY* Reply = &SmartcardExtension->SmartcardReply;
  ULONG BlockLength = Reply->BufferLength;
  NTSTATUS Status = SetReadTimeouts(SmartcardExtension, 0, 0, T1_QUIET_LINE_MS);
  // A line that never falls quiet is left to the next block's purge after a bounded wait.
  for (ULONG Swallowed = 0; Status == STATUS_SUCCESS && Swallowed < T1_QUIET_LINE_MAX_BYTES;
       ++Swallowed) {
    ULONG Delivered;
    Status = ReadPart(SmartcardExtension, Reply->BufferSize - 1, 1, &Delivered);
  }
  Reply->BufferLength = BlockLength;
}

// Asks the serial routine, without waiting, for its line status: parity, framing or overrun
// errors since it was last asked (asking clears them, so what it reports after a block belongs to
// that block) and the characters received and not yet read. A routine that keeps no such record
// answers the request without filling the status in, and reports neither.
static SERIAL_STATUS TakeLineStatus(PSMARTCARD_EXTENSION SmartcardExtension) {
  SERIAL_STATUS LineStatus;
  RtlZeroMemory(&LineStatus, sizeof(LineStatus));
  NTSTATUS Status = LinkSerialRequestWithData(SmartcardExtension, IOCTL_SERIAL_GET_COMMSTATUS,
                                              &LineStatus, sizeof(LineStatus));
  if (Status != STATUS_SUCCESS) RtlZeroMemory(&LineStatus, sizeof(LineStatus));
  return LineStatus;
}

// Whether a block whose LRC is right still has to be taken as damaged. Two characters damaged in
// the same bit keep a block's LRC: only the line's own report reveals them. And nothing follows a
// reader's block until the host sends again, so a character already waiting once the block's last
// one was read means the block was not what the reader sent: a character inserted into it shifts
// the rest by one, and the byte read as its LRC (one of its data bytes) may match; the real LRC is
// what waits. Only I-blocks, which carry the answer, are held to this: a reader still taking the
// tail of a host block damaged on its way for blocks answers each with an R-block, and an R-block
// sent back into that tail is swallowed by it, which leaves both ends waiting out the block
// waiting time.
static BOOLEAN GoodBlockDamaged(PSMARTCARD_EXTENSION SmartcardExtension) {
  SERIAL_STATUS LineStatus = TakeLineStatus(SmartcardExtension);
  BOOLEAN IBlock =
      (SmartcardExtension->SmartcardReply.Buffer[T1_OFFSET_PCB] & T1_PCB_I_BLOCK_BIT) == 0;
  return LineStatus.Errors != 0 || (IBlock && LineStatus.AmountInInQueue != 0);
}

NTSTATUS T1ReceiveBlock(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  SMARTCARD_REPLY* Reply = &SmartcardExtension->SmartcardReply;
  if (Reply->Buffer == NULL || Reply->BufferSize < T1_MAXIMUM_BLOCK_LENGTH) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  LinkEnableReading(SmartcardExtension, TRUE);

  ULONG Delivered;
  NTSTATUS Status = ReadPart(SmartcardExtension, T1_OFFSET_NAD, 1, &Delivered);
  if (Status == STATUS_SUCCESS) Status = ArmRestOfBlockTimeouts(SmartcardExtension);
  if (Status == STATUS_SUCCESS) Status = ReadRest(SmartcardExtension, T1_OFFSET_PCB, 2);
  ULONG Len = Reply->Buffer[T1_OFFSET_LEN];
  if (Status == STATUS_SUCCESS) {
    Status = ReadRest(SmartcardExtension, T1_OFFSET_INF, Len + T1_EPILOGUE_LENGTH);
  }
  if (Status == STATUS_TIMEOUT) {
    Reply->BufferLength = 0;
  } else if (Status == STATUS_SUCCESS || Status == STATUS_CRC_ERROR) {
    ULONG BlockLength = T1_PROLOGUE_LENGTH + Len + T1_EPILOGUE_LENGTH;
    Reply->BufferLength = BlockLength;
    if (Status == STATUS_SUCCESS) {
      EdcReset(SmartcardExtension);
      for (ULONG i = 0; i < BlockLength; ++i) EdcUpdate(SmartcardExtension, Reply->Buffer[i]);
      if (!EdcCheck(SmartcardExtension)) Status = STATUS_CRC_ERROR;
    }
  }
  if (Status == STATUS_SUCCESS && GoodBlockDamaged(SmartcardExtension)) Status = STATUS_CRC_ERROR;
  if (Status != STATUS_SUCCESS) {
    // What follows a damaged block is its tail, swallowed as after a wrong LRC; its errors, and
    // those of the tail, are cleared so that they are not laid to the next block.
    if (Status == STATUS_CRC_ERROR) WaitForQuietLine(SmartcardExtension);
    TakeLineStatus(SmartcardExtension);
  }
  LinkEnableReading(SmartcardExtension, FALSE);
  return Status;
}
