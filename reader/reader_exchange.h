// One command over the reader link as every reader function sends it: a reader command to the
// reader, or a card command through it, with the reader's status word split off its answer.
#pragma once
#include "reader/reader_extension.h"

// What came back.
typedef struct _READER_ANSWER {
  UCHAR Source;      // the node that answered: T1_NODE_READER or T1_NODE_CARD; T1_NODE_HOST
                     // when the link brought no answer back
  ULONG Length;      // bytes received, a status word included; after a failure, the capacity
  ULONG DataLength;  // with a status word: the bytes before it
  UCHAR Sw1;         // the status word, when the answer has one: the reader's own answers
  UCHAR Sw2;
} READER_ANSWER, *PREADER_ANSWER;

// Inside the link STATUS_TIMEOUT says that the reader did not answer. It is a success-class
// status, so it never leaves the driver: whoever asked is told STATUS_IO_TIMEOUT.
inline NTSTATUS ReaderLinkStatus(NTSTATUS Status) {
  return Status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Status;
}

// Sends Command to the node Destination (the reader, or the card through it) and takes the answer
// into Reply, which holds ReplyCapacity bytes and may be the command's own memory. An answer to a
// reader command, and an answer the reader gives instead of the card, ends with a status word.
// Caller holds LinkMutex. Returns
//   STATUS_SUCCESS                the answer is in Reply, described by *Answer
//   STATUS_IO_TIMEOUT             the reader did not answer
//   STATUS_DEVICE_PROTOCOL_ERROR  the reader answered with less than a status word
//   any other failure of the link as the link reported it.
NTSTATUS ReaderExchange(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Destination,
                        const UCHAR* Command, ULONG CommandLength, PUCHAR Reply,
                        ULONG ReplyCapacity, PREADER_ANSWER Answer);
