// The smart card driver library: the smart card extension a reader driver shares with it, card
// states, protocols, attributes and requests, and the library calls.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: the DDK's own declarations (platform/windows/).
#include "platform/windows/smclib.h"
#else
#include "platform/ke.h"
#include "platform/ntdef.h"
#include "platform/ntstatus.h"

// I/O manager objects, known here only by pointer.
struct _IRP;
struct _DEVICE_OBJECT;
struct _FILE_OBJECT;
typedef struct _IRP* PIRP;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _FILE_OBJECT* PFILE_OBJECT;

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif
#ifndef FILE_DEVICE_SMARTCARD
#define FILE_DEVICE_SMARTCARD 0x00000031
#endif

#define SMCLIB_VERSION 0x150

#define SCARD_CTL_CODE(code) \
  CTL_CODE(FILE_DEVICE_SMARTCARD, (code), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SMARTCARD_POWER SCARD_CTL_CODE(1)
#define IOCTL_SMARTCARD_GET_ATTRIBUTE SCARD_CTL_CODE(2)
#define IOCTL_SMARTCARD_SET_ATTRIBUTE SCARD_CTL_CODE(3)
#define IOCTL_SMARTCARD_CONFISCATE SCARD_CTL_CODE(4)
#define IOCTL_SMARTCARD_TRANSMIT SCARD_CTL_CODE(5)
#define IOCTL_SMARTCARD_EJECT SCARD_CTL_CODE(6)
#define IOCTL_SMARTCARD_SWALLOW SCARD_CTL_CODE(7)
#define IOCTL_SMARTCARD_IS_PRESENT SCARD_CTL_CODE(10)
#define IOCTL_SMARTCARD_IS_ABSENT SCARD_CTL_CODE(11)
#define IOCTL_SMARTCARD_SET_PROTOCOL SCARD_CTL_CODE(12)
#define IOCTL_SMARTCARD_GET_STATE SCARD_CTL_CODE(14)
#define IOCTL_SMARTCARD_GET_LAST_ERROR SCARD_CTL_CODE(15)
#define IOCTL_SMARTCARD_GET_PERF_CNTR SCARD_CTL_CODE(16)

// Request codes of the library's serial reader interface: a read and a write on the port.
#define SMARTCARD_READ SCARD_CTL_CODE(1000)
#define SMARTCARD_WRITE SCARD_CTL_CODE(1001)
static_assert(SMARTCARD_READ == 0x310FA0, "SMARTCARD_READ");
static_assert(SMARTCARD_WRITE == 0x310FA4, "SMARTCARD_WRITE");

// Card states (SCARD_READER_CAPABILITIES.CurrentState)
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// Protocols
#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
#define SCARD_PROTOCOL_DEFAULT 0x80000000
#define SCARD_PROTOCOL_OPTIMAL 0x00000000

// IOCTL_SMARTCARD_POWER minor codes
#define SCARD_POWER_DOWN 0
#define SCARD_COLD_RESET 1
#define SCARD_WARM_RESET 2

// Reader types
#define SCARD_READER_TYPE_SERIAL 0x01
#define SCARD_READER_TYPE_PARALELL 0x02
#define SCARD_READER_TYPE_KEYBOARD 0x04
#define SCARD_READER_TYPE_SCSI 0x08
#define SCARD_READER_TYPE_IDE 0x10
#define SCARD_READER_TYPE_USB 0x20
#define SCARD_READER_TYPE_PCMCIA 0x40
#define SCARD_READER_TYPE_VENDOR 0xF0

// Attribute tags: class in the high word, tag in the low word.
#define SCARD_CLASS_VENDOR_INFO 1
#define SCARD_CLASS_COMMUNICATIONS 2
#define SCARD_CLASS_PROTOCOL 3
#define SCARD_CLASS_POWER_MGMT 4
#define SCARD_CLASS_SECURITY 5
#define SCARD_CLASS_MECHANICAL 6
#define SCARD_CLASS_VENDOR_DEFINED 7
#define SCARD_CLASS_IFD_PROTOCOL 8
#define SCARD_CLASS_ICC_STATE 9
#define SCARD_CLASS_SYSTEM 0x7FFF

#define SCARD_ATTR_VALUE(Class, Tag) ((((ULONG)(Class)) << 16) | ((ULONG)(Tag)))

#define SCARD_ATTR_VENDOR_NAME SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0100)
#define SCARD_ATTR_VENDOR_IFD_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0101)
#define SCARD_ATTR_VENDOR_IFD_VERSION SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0102)
#define SCARD_ATTR_VENDOR_IFD_SERIAL_NO SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0103)
#define SCARD_ATTR_CHANNEL_ID SCARD_ATTR_VALUE(SCARD_CLASS_COMMUNICATIONS, 0x0110)
#define SCARD_ATTR_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#define SCARD_ATTR_ASYNC_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#define SCARD_ATTR_DEFAULT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0121)
#define SCARD_ATTR_MAX_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0122)
#define SCARD_ATTR_DEFAULT_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0123)
#define SCARD_ATTR_MAX_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0124)
#define SCARD_ATTR_MAX_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0125)
#define SCARD_ATTR_SYNC_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0126)
#define SCARD_ATTR_POWER_MGMT_SUPPORT SCARD_ATTR_VALUE(SCARD_CLASS_POWER_MGMT, 0x0131)
#define SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE SCARD_ATTR_VALUE(SCARD_CLASS_SECURITY, 0x0140)
#define SCARD_ATTR_USER_AUTH_INPUT_DEVICE SCARD_ATTR_VALUE(SCARD_CLASS_SECURITY, 0x0142)
#define SCARD_ATTR_CHARACTERISTICS SCARD_ATTR_VALUE(SCARD_CLASS_MECHANICAL, 0x0150)
#define SCARD_ATTR_CURRENT_PROTOCOL_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0201)
#define SCARD_ATTR_CURRENT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0202)
#define SCARD_ATTR_CURRENT_F SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0203)
#define SCARD_ATTR_CURRENT_D SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0204)
#define SCARD_ATTR_CURRENT_N SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0205)
#define SCARD_ATTR_CURRENT_W SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0206)
#define SCARD_ATTR_CURRENT_IFSC SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0207)
#define SCARD_ATTR_CURRENT_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0208)
#define SCARD_ATTR_CURRENT_BWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0209)
#define SCARD_ATTR_CURRENT_CWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020A)
#define SCARD_ATTR_CURRENT_EBC_ENCODING SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020B)
#define SCARD_ATTR_EXTENDED_BWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020C)
#define SCARD_ATTR_ICC_PRESENCE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0300)
#define SCARD_ATTR_ICC_INTERFACE_STATUS SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0301)
#define SCARD_ATTR_CURRENT_IO_STATE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0302)
#define SCARD_ATTR_ATR_STRING SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0303)
#define SCARD_ATTR_ICC_TYPE_PER_ATR SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0304)
#define SCARD_ATTR_ESC_RESET SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xA000)
#define SCARD_ATTR_ESC_CANCEL SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xA003)
#define SCARD_ATTR_ESC_AUTHREQUEST SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xA005)
#define SCARD_ATTR_MAXINPUT SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xA007)
#define SCARD_ATTR_DEVICE_UNIT SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0001)
#define SCARD_ATTR_DEVICE_IN_USE SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0002)
#define SCARD_ATTR_DEVICE_FRIENDLY_NAME_A SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0003)
#define SCARD_ATTR_DEVICE_SYSTEM_NAME_A SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0004)
#define SCARD_ATTR_DEVICE_FRIENDLY_NAME_W SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0005)
#define SCARD_ATTR_DEVICE_SYSTEM_NAME_W SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0006)
#define SCARD_ATTR_SUPRESS_T1_IFS_REQUEST SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0007)

// Reader function slots (SMARTCARD_EXTENSION.ReaderFunction)
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9
// Attributes the library does not answer itself (GET and SET_ATTRIBUTE; MinorIoControlCode holds
// the tag, IoRequest the request's buffers).
#define RDF_ATTRIBUTES 10
#define RDF_MAXIMUM 16

#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MAXIMUM_ATR_LENGTH 64
#define MAXIMUM_HISTORICAL_CHARS 16

// Debug levels of SmartcardSetDebugLevel
#define DEBUG_IOCTL 0x00000001
#define DEBUG_ATR 0x00000002
#define DEBUG_PROTOCOL 0x00000004
#define DEBUG_DRIVER 0x00000008
#define DEBUG_TRACE 0x00000010
#define DEBUG_ERROR 0x00000020
#define DEBUG_INFO DEBUG_ERROR
#define DEBUG_ALL 0x0000FFFF

// Header of a transmission buffer; the command or the answer follows it.
typedef struct _SCARD_IO_REQUEST {
  ULONG dwProtocol;   // SCARD_PROTOCOL_*
  ULONG cbPciLength;  // length of this header and anything protocol-specific after it
} SCARD_IO_REQUEST, *PSCARD_IO_REQUEST;
static_assert(sizeof(SCARD_IO_REQUEST) == 8, "SCARD_IO_REQUEST is 8 bytes");

// A counted string attribute; Length counts the bytes used in Buffer.
typedef struct _SCARD_ATTR_STRING {
  USHORT Length;
  UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
} SCARD_ATTR_STRING;

typedef struct _VENDOR_ATTR {
  SCARD_ATTR_STRING VendorName;
  SCARD_ATTR_STRING IfdType;
  ULONG UnitNo;
  // Reported as one 32-bit value: major in the top byte, minor below it, build in the low word.
  struct {
    USHORT BuildNumber;
    UCHAR VersionMinor;
    UCHAR VersionMajor;
  } IfdVersion;
  SCARD_ATTR_STRING IfdSerialNo;
  ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

typedef struct _SCARD_READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG Reserved;
  ULONG ReaderType;
  ULONG MechProperties;
  ULONG CurrentState;  // SCARD_*; guarded by OsData->SpinLock
  ULONG Channel;
  struct {
    ULONG Default;
    ULONG Max;
  } CLKFrequency;  // kHz
  struct {
    ULONG Default;
    ULONG Max;
  } DataRate;  // bit/s
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  ULONG CardConfiscated;
  struct _DataRatesSupported {
    PULONG List;
    UCHAR Entries;
  } DataRatesSupported;
  struct _CLKFrequenciesSupported {
    PULONG List;
    UCHAR Entries;
  } CLKFrequenciesSupported;
  UCHAR Reserved1[100 - sizeof(ULONG) - sizeof(struct _DataRatesSupported) -
                  sizeof(struct _CLKFrequenciesSupported)];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

// One row of the ISO 7816-3 clock rate conversion (F) or bit rate adjustment (D) table.
typedef struct _CLOCK_RATE_CONVERSION {
  const ULONG F;
  const ULONG fs;  // maximum clock, kHz
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

typedef struct _BIT_RATE_ADJUSTMENT {
  const ULONG DNumerator;
  const ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

// Parameters of a protocol and parameters selection.
#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02
typedef struct _PTS_DATA {
  UCHAR Type;  // PTS_TYPE_*
  UCHAR Fl;
  UCHAR Dl;
  ULONG CLKFrequency;  // kHz
  ULONG DataRate;      // bit/s
  UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

// What the card's answer to reset says about it, filled by SmartcardUpdateCardCapabilities.
typedef struct _SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu;  // elementary time unit, microseconds
  struct {
    UCHAR Buffer[MAXIMUM_ATR_LENGTH];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[MAXIMUM_HISTORICAL_CHARS];
    UCHAR Length;
  } HistoricalChars;
  PCLOCK_RATE_CONVERSION ClockRateConversion;
  PBIT_RATE_ADJUSTMENT BitRateAdjustment;
  UCHAR Fl;  // index into ClockRateConversion (TA1 high nibble)
  UCHAR Dl;  // index into BitRateAdjustment (TA1 low nibble)
  UCHAR II;  // programming current (TB1)
  UCHAR P;   // programming voltage (TB1, TB2)
  UCHAR N;   // extra guard time, etu (TC1)
  ULONG GT;  // guard time the host must keep between characters it sends, microseconds
  struct {
    ULONG Supported;  // SCARD_PROTOCOL_* the card offers
    ULONG Selected;   // the one in use
  } Protocol;
  struct {
    UCHAR WI;  // waiting integer (TC2)
    ULONG WT;  // work waiting time, microseconds
  } T0;
  struct {
    UCHAR IFSC;  // card's information field size
    UCHAR CWI;   // character waiting integer
    UCHAR BWI;   // block waiting integer
    UCHAR EDC;   // 0 LRC, 1 CRC
    ULONG CWT;   // microseconds
    ULONG BWT;   // microseconds
    ULONG BGT;   // microseconds
  } T1;
  PTS_DATA PtsData;
  UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

// A buffer the library lends the driver: BufferSize bytes at Buffer, BufferLength of them in use.
typedef struct _SMARTCARD_REQUEST {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

// The operating system's part of the extension, allocated by SmartcardInitialize. The driver
// uses the members shown; the library may keep more of its own behind them.
typedef struct _OS_DEP_DATA {
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  // The IS_PRESENT or IS_ABSENT request that waits for the card; guarded by SpinLock.
  PIRP NotificationIrp;
  // Guards ReaderCapabilities.CurrentState and NotificationIrp. Raises to DISPATCH_LEVEL; where the
  // I/O cancel spin lock is needed too, it is taken first.
  KSPIN_LOCK SpinLock;
} OS_DEP_DATA, *POS_DEP_DATA;

typedef struct _T0_DATA {
  ULONG Lc;  // bytes of data the command sends
  ULONG Le;  // bytes of data the command expects back
} T0_DATA, *PT0_DATA;

// The library's own T=1 state (SmartcardT1Request and SmartcardT1Reply).
typedef struct _T1_DATA {
  UCHAR IFSC;
  UCHAR IFSD;
  ULONG BytesReceived;
  ULONG BytesSent;
  ULONG BytesToSend;
  UCHAR LastError;
  BOOLEAN MoreData;
  UCHAR NAD;
  ULONG OriginalState;  // the state before an error
  UCHAR Resend;
  UCHAR Resynch;
  UCHAR RSN;  // receive sequence number
  UCHAR SSN;  // send sequence number
  ULONG State;
  UCHAR Wtx;
  PUCHAR ReplyData;
  BOOLEAN WaitForReply;
  UCHAR InfBytesSent;
  UCHAR Reserved[10 - sizeof(PUCHAR) - sizeof(UCHAR)];
} T1_DATA, *PT1_DATA;

struct _READER_EXTENSION;  // the driver's own block
typedef struct _READER_EXTENSION* PREADER_EXTENSION;

struct _SMARTCARD_EXTENSION;
typedef NTSTATUS (*PREADER_FUNCTION)(struct _SMARTCARD_EXTENSION* SmartcardExtension);

typedef struct _SMARTCARD_EXTENSION {
  ULONG Version;  // SMCLIB_VERSION the driver was written for, set before SmartcardInitialize
  VENDOR_ATTR VendorAttr;
  PREADER_FUNCTION ReaderFunction[RDF_MAXIMUM];
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError;  // status of the last request, for IOCTL_SMARTCARD_GET_LAST_ERROR
  // The request the library hands to a reader function, filled before the call.
  struct {
    PULONG Information;  // receives the number of bytes returned in ReplyBuffer
    PUCHAR RequestBuffer;
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferLength;
  } IoRequest;
  ULONG MajorIoControlCode;
  ULONG MinorIoControlCode;
  POS_DEP_DATA OsData;
  SCARD_READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  // Set BufferSize of both before SmartcardInitialize, which allocates their buffers.
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  // (A checked build of the library has its PerfInfo pointer here, taken from Reserved.)
  ULONG Reserved[25];
} SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;

extern "C" {

// Allocates OsData and the request and reply buffers (of the BufferSize given in the descriptors).
NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
// Frees what SmartcardInitialize allocated; OsData is null afterwards.
void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
// Checks an IOCTL_SMARTCARD_* request, calls the reader functions and completes or pends the IRP.
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);
// Parses CardCapabilities.ATR and fills the rest of CardCapabilities.
NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
// Builds the T=0 command of IoRequest in SmartcardRequest after what it holds already.
NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
// Copies the T=0 answer in SmartcardReply to IoRequest.ReplyBuffer behind its header.
NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
// The library's own T=1 protocol. This library leaves T=1 to the reader driver: both refuse.
NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
// A command of IoRequest passed on unchanged: appended to SmartcardRequest, and the answer in
// SmartcardReply copied to IoRequest.ReplyBuffer.
NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
// Inverse convention: every byte's bits inverted and put in reverse order, in place.
void SmartcardInvertData(PUCHAR Buffer, ULONG Length);
// Records an event for the system log. Object is a driver or device object.
void SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpWord);
void SmartcardSetDebugLevel(ULONG Level);
ULONG SmartcardGetDebugLevel(void);
NTSTATUS SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName);
// One acquisition per open handle. Fails with STATUS_DELETE_PENDING once removal waits.
NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
void SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
// The same with a tag naming the holder (the untagged forms use tag 0); a release must match an
// acquisition of its tag.
NTSTATUS SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
void SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
// Returns when no acquisition is left; later acquisitions fail.
void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

}  // extern "C"
#endif  // WINDOWS_KERNEL_BUILD
