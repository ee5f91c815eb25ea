// The one way the reader functions talk over the link.
#include "reader/reader_exchange.h"

#include "link/link.h"
#include "reader/reader_commands.h"

NTSTATUS ReaderExchange(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Destination,
                        const UCHAR* Command, ULONG CommandLength, PUCHAR Reply,
                        ULONG ReplyCapacity, PREADER_ANSWER Answer) {
  PAGED_CODE();
  UCHAR Dad = Destination;
  UCHAR Sad = T1_NODE_HOST;
  ULONG Length = ReplyCapacity;
  NTSTATUS Status =
      T1Transceive(SmartcardExtension, &Dad, &Sad, Command, CommandLength, Reply, &Length);
  // The configuration tool changed the converter's line and the reader stopped answering: the
  // link puts its own line back (T1Resynch) and a command to the reader itself is sent once more,
  // so that the card state is not left as it was before the change. A card's command is not
  // repeated.
  if (Status != STATUS_SUCCESS && Destination == T1_NODE_READER &&
      SmartcardExtension->ReaderExtension->LineChangedOutsideLink) {
    Dad = Destination;
    Sad = T1_NODE_HOST;
    Length = ReplyCapacity;
    Status = T1Transceive(SmartcardExtension, &Dad, &Sad, Command, CommandLength, Reply, &Length);
  }
  Answer->Source = Status == STATUS_SUCCESS ? Sad : (UCHAR)T1_NODE_HOST;
  Answer->Length = Length;
  Answer->DataLength = Length;
  Answer->Sw1 = 0;
  Answer->Sw2 = 0;
  if (Status != STATUS_SUCCESS) return ReaderLinkStatus(Status);
  if (Destination != T1_NODE_READER && Sad != T1_NODE_READER) return STATUS_SUCCESS;

  // The reader's own answer: whatever it reports, it reports in the status word.
  if (Length < READER_STATUS_WORD_LENGTH) return STATUS_DEVICE_PROTOCOL_ERROR;
  Answer->DataLength = Length - READER_STATUS_WORD_LENGTH;
  Answer->Sw1 = Reply[Answer->DataLength];
  Answer->Sw2 = Reply[Answer->DataLength + 1];
  return STATUS_SUCCESS;
}
