// The reader link: T=1 blocks over the serial I/O routine, resynchronisation, IFS exchange and the
// block exchange engine. Every routine runs at PASSIVE_LEVEL with ReaderExtension->LinkMutex held
// (LinkBringUp takes it itself).
#pragma once
#include "link/t1_protocol.h"
#include "reader/reader_extension.h"

// What the link needs of its serial routine (ReaderExtension->SerialIoRoutine, which carries out
// ReaderExtension->SerialIoctl). Reads are those of a Windows serial port:
// - IOCTL_SERIAL_SET_TIMEOUTS, a whole SERIAL_TIMEOUTS in the request buffer: the time limits, in
//   ms, of the reads that follow.
// - SMARTCARD_READ asks for SmartcardReply.BufferLength bytes into SmartcardReply.Buffer. The read
//   ends when they are all in; or when its total limit has passed: bytes asked for x
//   ReadTotalTimeoutMultiplier + ReadTotalTimeoutConstant after it began (counting only the bytes
//   still missing at its start is fine too); or, once it has a character, when
//   ReadIntervalTimeout passes without a further one (0: no interval limit).
// - A read that ends short reports the bytes it delivered by lowering SmartcardReply.BufferLength;
//   one that delivered none returns STATUS_TIMEOUT with BufferLength 0.
// The block waiting time is the constant of the read of an answer's first character only; the
// rest of the block is read with the character waiting time as interval and constant and the
// line's character time as multiplier (T1ReceiveBlock), read after read while each brings some
// of it, since the reader may pause before every character. An answer that stops arriving is
// given up within twice the character waiting time plus its missing characters' time on the
// line, even by a routine that leaves the interval aside.

// Error detection code (LRC) over the bytes of one block.
void EdcReset(PSMARTCARD_EXTENSION SmartcardExtension);
void EdcUpdate(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Byte);
BOOLEAN EdcCheck(PSMARTCARD_EXTENSION SmartcardExtension);

// Frames and writes one block from the request buffer, then arms the read timeouts of its answer
// with WaitingTime ms for the first byte.
NTSTATUS T1SendBlock(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Nad, UCHAR Pcb, UCHAR Len,
                     const UCHAR* Inf, ULONG WaitingTime);
// The same without the purge: what came in after the last block read stays to be read with the
// next one.
NTSTATUS T1SendBlockKeepingInput(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Nad, UCHAR Pcb,
                                 UCHAR Len, const UCHAR* Inf, ULONG WaitingTime);
// Reads one block into SmartcardReply.Buffer[0 .. BufferLength - 1] and checks it.
NTSTATUS T1ReceiveBlock(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS T1Resynch(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS T1SetIfsd(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Size);
NTSTATUS T1SetIfsc(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Size);

// Carries Command to the node *Dad and returns the whole answer in Reply. *ReplyLength is the
// capacity on entry and the answer's length on success; *Dad and *Sad receive the addresses of the
// last I-block accepted. Command and Reply may be the same memory.
NTSTATUS T1Transceive(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Dad, PUCHAR Sad,
                      const UCHAR* Command, ULONG CommandLength, PUCHAR Reply, PULONG ReplyLength);

// The seven serial settings of the link, in order; the first failure ends them.
NTSTATUS LinkSerialSetup(PSMARTCARD_EXTENSION SmartcardExtension);
// Powers the reader through DTR: off, on, held; clears LinkState.
NTSTATUS LinkDtrCycle(PSMARTCARD_EXTENSION SmartcardExtension);
// Device start, under LinkMutex: DTR cycle, resynchronisation, both IFS and the card status
// query. A reader that does not answer is reported as STATUS_IO_TIMEOUT.
NTSTATUS LinkBringUp(PSMARTCARD_EXTENSION SmartcardExtension);
// The same for a holder of LinkMutex; STATUS_TIMEOUT when the reader does not answer.
NTSTATUS LinkBringUpLocked(PSMARTCARD_EXTENSION SmartcardExtension);

// Lets the reading side of the device fetch data while the link waits for an answer.
void LinkEnableReading(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Enable);
