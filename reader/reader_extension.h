// The driver's block behind SMARTCARD_EXTENSION.ReaderExtension: the link's serial settings and
// state, the card tracking thread, the link mutex and the library's own buffer descriptors.
#pragma once
#include "platform/wdm.h"

// The routine the link hands every serial request to (ReaderSerialIo on the device): it carries
// out ReaderExtension->SerialIoctl with the SmartcardRequest and SmartcardReply descriptors.
typedef NTSTATUS (*PSERIAL_IO_ROUTINE)(PSMARTCARD_EXTENSION SmartcardExtension);

// A copy of one of the library's buffer descriptors.
typedef struct _SAVED_BUFFER {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SAVED_BUFFER, *PSAVED_BUFFER;

// LinkState
#define LINK_STATE_IN_STEP 0
#define LINK_STATE_RESYNCH_DUE 2
#define LINK_STATE_NO_ANSWER 3
#define LINK_STATE_GIVEN_UP 4

// SequenceBits
#define SEQUENCE_BIT_SEND 0x00000001     // N(S) of the host's next I-block
#define SEQUENCE_BIT_RECEIVE 0x00000002  // N(S) expected in the reader's next I-block

#define COMMAND_BUFFER_SIZE 512

// Defaults of the link
#define LINK_DEFAULT_BAUD_RATE 9600
#define LINK_DEFAULT_BLOCK_WAITING_TIME_MS 5000
#define LINK_DEFAULT_CHAR_WAITING_TIME_MS 500
#define LINK_DEFAULT_READ_INTERVAL_TIMEOUT_MS 50
#define LINK_DEFAULT_READ_TOTAL_MULTIPLIER_MS 50
#define LINK_DEFAULT_READ_TOTAL_CONSTANT_MS 10000
#define LINK_DEFAULT_WRITE_TOTAL_MULTIPLIER_MS 1
#define LINK_DEFAULT_WRITE_TOTAL_CONSTANT_MS 1000
#define LINK_DEFAULT_BREAK_CHAR 0xFF
#define LINK_DEFAULT_WORD_LENGTH 8

typedef struct _READER_EXTENSION {
  PDEVICE_OBJECT AttachedDevice;  // the device below this one once attached
  PDEVICE_OBJECT DeviceObject;  // this device; the serial adapter reaches the DeviceExtension here
  UNICODE_STRING LegacyLinkName;  // buffer owned by the driver
  // The link's settings and state, from SerialIoctl to CharWaitingTime (CardPresentAtPowerDown
  // aside), and the library's SmartcardRequest/SmartcardReply descriptors belong to whoever holds
  // LinkMutex.
  ULONG SerialIoctl;             // the serial request SerialIoRoutine carries out next; LinkMutex
  SERIAL_HANDFLOW LinkHandflow;  // LinkMutex
  SERIAL_CHARS LinkChars;        // LinkMutex
  // ms; the block sender rewrites the read fields before each block. LinkMutex.
  SERIAL_TIMEOUTS LinkTimeouts;
  SERIAL_BAUD_RATE LinkBaudRate;        // LinkMutex
  SERIAL_LINE_CONTROL LinkLineControl;  // LinkMutex
  // The rate an application had the reader switch to (0: none, the default rate). A DTR cycle
  // restarts the reader at the default rate; the bring-up then asks for this one again. LinkMutex.
  ULONG AskedBaudRate;
  // A private request changed the converter's line behind the link, or its setup failed: the
  // next bring-up, or a reader that stops answering, sets the line up again first. LinkMutex.
  BOOLEAN LineChangedOutsideLink;
  BOOLEAN CardPresentAtPowerDown;  // written and read by the power path only
  ULONG LinkState;                 // LINK_STATE_*; LinkMutex
  ULONG SequenceBits;              // SEQUENCE_BIT_*; LinkMutex
  UCHAR Ifsc;                      // largest INF the host sends in one block; LinkMutex
  USHORT EdcValue;                 // running LRC in the low byte; LinkMutex
  ULONG BlockWaitingTime;          // ms; LinkMutex
  ULONG CharWaitingTime;           // ms; LinkMutex
  // The card tracking thread's object, referenced while the thread exists, null when there is
  // none: the mark that tracking runs. Its handle is closed as soon as it is created. Read and
  // written only under OsData->SpinLock (so that the card tracking function, called with LinkMutex
  // held, can read it without waiting for a stop in progress).
  PKTHREAD TrackingThread;
  KEVENT TrackingStoppedEvent;  // set by the thread as its loop ends
  KEVENT TrackingStopEvent;     // asks the thread to end
  // One user of the reader link at a time. Recursive: device-control routing holds it around the
  // library call and the reader functions take it again. Wait only at PASSIVE_LEVEL. Initialised
  // once, when the binding is created; never again while the device exists.
  KMUTEX LinkMutex;
  // Notification event, signalled while the link may be taken: reset by a power-down, signalled
  // again by the power-up (or the removal) that follows. The users that come to the link from
  // outside (device-control routing, the card tracking thread) pass it before they take LinkMutex;
  // see reader/link_lock.h. Initialised signalled with the binding.
  KEVENT LinkGate;
  UCHAR CommandBuffer[COMMAND_BUFFER_SIZE];  // lent to the request descriptor; LinkMutex
  PSERIAL_IO_ROUTINE SerialIoRoutine;
  SAVED_BUFFER SavedReply;    // the library's own SmartcardReply descriptor
  SAVED_BUFFER SavedRequest;  // the library's own SmartcardRequest descriptor
  ULONG RejectedRequestCount;
  // 1 once the open handle's cleanup has run, 0 again at the next open. A presence or absence
  // request of that handle that reaches the reader only afterwards (it waited behind the link)
  // is refused: nothing would complete it, and the handle's close would wait for it for good.
  // Interlocked; read by ReaderCardTracking under OsData->SpinLock.
  LONG HandleCleanedUp;
  // Orders the card tracking starts and stops of opens and closes that overlap (a close waiting
  // for the thread to end while the next open arrives). PASSIVE_LEVEL only; the tracking thread
  // never takes it, and nobody takes it while holding LinkMutex.
  KMUTEX TrackingMutex;
  ULONG TrackingStarts;  // starts not yet matched by a stop; guarded by TrackingMutex
  // The open handles, counted by the driver: the library's remove lock routines are not shown to
  // exist before Windows XP, and the x86 image serves 2000 and 98/Me as well. One reference
  // belongs to the binding itself, one to each open handle; removal drops the binding's and waits
  // for the rest. Interlocked, any IRQL up to DISPATCH_LEVEL.
  LONG OpenReferences;
  LONG RemovePending;         // set once, by ReleaseReaderBinding; read interlocked
  KEVENT OpenReferencesGone;  // notification event, set as OpenReferences reaches 0
} READER_EXTENSION;
