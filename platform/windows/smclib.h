// The smart card driver library (SMCLIB.SYS) as a reader driver sees it. MinGW-w64 ships
// winsmcrd.h (requests, protocols, card states, attributes) but not smclib.h; what follows is
// written from Microsoft's documentation of the library: "SMARTCARD_EXTENSION structure
// (smclib.h)", "SCARD_CARD_CAPABILITIES structure (smclib.h)", "SCARD_READER_CAPABILITIES
// structure (smclib.h)", "VENDOR_ATTR structure (smclib.h)", "SmartcardInitialize function
// (smclib.h)" and the pages of the other library routines.
//
// The structures are laid out member for member as the public smclib.h lays them out for a free
// build of the library (the library may use all of them, Reserved included): the build asserts
// every size and offset of windows/smclib-layout.tsv on x64 and x86 (windows/smclib_layout.py).
//
// Calling convention: the library and the drivers built with the DDK for x86 use __stdcall as
// their default convention (the DDK compiles x86 code with /Gz), which the documentation's
// prototypes leave unsaid. The routines and the reader function type below are therefore
// declared NTAPI, and so must be the reader functions a driver installs.
#pragma once
// The DDK headers need the kernel's declarations before them.
// clang-format off
#include "platform/windows/kernel.h"
#include <winsmcrd.h>
// clang-format on

#define SMCLIB_VERSION 0x150

// The smart card reader device interface class ("GUID_DEVINTERFACE_SMARTCARD_READER", winsmcrd.h),
// which MinGW-w64's winsmcrd.h lacks.
#ifndef GUID_DEVINTERFACE_SMARTCARD_READER_DEFINED
#define GUID_DEVINTERFACE_SMARTCARD_READER_DEFINED
static const GUID GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
#endif

// Request codes of a serial reader's requests to its port, as the library names them.
#define SMARTCARD_READ SCARD_CTL_CODE(1000)
#define SMARTCARD_WRITE SCARD_CTL_CODE(1001)

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
#define RDF_MAXIMUM 16

// Debug levels of SmartcardSetDebugLevel
#define DEBUG_IOCTL ((ULONG)0x00000001)
#define DEBUG_ATR ((ULONG)0x00000002)
#define DEBUG_PROTOCOL ((ULONG)0x00000004)
#define DEBUG_DRIVER ((ULONG)0x00000008)
#define DEBUG_TRACE ((ULONG)0x00000010)
#define DEBUG_ALL ((ULONG)0x0000FFFF)

// Attribute tags the documentation of winsmcrd.h lists and MinGW-w64's copy lacks.
#ifndef SCARD_ATTR_ASYNC_PROTOCOL_TYPES
#define SCARD_ATTR_ASYNC_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#endif
#ifndef SCARD_ATTR_SYNC_PROTOCOL_TYPES
#define SCARD_ATTR_SYNC_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0126)
#endif

// One counted string of VENDOR_ATTR. The documentation declares the three members with this
// layout in place; the name lets a driver handle the three alike.
typedef struct _SCARD_ATTR_STRING {
  USHORT Length;
  UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
} SCARD_ATTR_STRING;

typedef struct _VENDOR_ATTR {
  SCARD_ATTR_STRING VendorName;
  SCARD_ATTR_STRING IfdType;
  ULONG UnitNo;
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
  ULONG CurrentState;
  ULONG Channel;
  struct {
    ULONG Default;
    ULONG Max;
  } CLKFrequency;
  struct {
    ULONG Default;
    ULONG Max;
  } DataRate;
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

typedef struct _CLOCK_RATE_CONVERSION {
  const ULONG F;
  const ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

typedef struct _BIT_RATE_ADJUSTMENT {
  const ULONG DNumerator;
  const ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

typedef struct _PTS_DATA {
  UCHAR Type;  // PTS_TYPE_*
  UCHAR Fl;
  UCHAR Dl;
  ULONG CLKFrequency;
  ULONG DataRate;
  UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

typedef struct _SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu;
  struct {
    UCHAR Buffer[64];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[16];
    UCHAR Length;
  } HistoricalChars;
  PCLOCK_RATE_CONVERSION ClockRateConversion;
  PBIT_RATE_ADJUSTMENT BitRateAdjustment;
  UCHAR Fl;
  UCHAR Dl;
  UCHAR II;
  UCHAR P;
  UCHAR N;
  ULONG GT;
  struct {
    ULONG Supported;
    ULONG Selected;
  } Protocol;
  struct {
    UCHAR WI;
    ULONG WT;
  } T0;
  struct {
    UCHAR IFSC;
    UCHAR CWI;
    UCHAR BWI;
    UCHAR EDC;
    ULONG CWT;
    ULONG BWT;
    ULONG BGT;
  } T1;
  PTS_DATA PtsData;
  UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

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

// Allocated and owned by the library; a driver uses DeviceObject, NotificationIrp and SpinLock.
typedef struct _OS_DEP_DATA {
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  PIRP NotificationIrp;
  KMUTEX Mutex;
  KSPIN_LOCK SpinLock;
  struct {
    BOOLEAN Removed;
    LONG RefCount;
    KEVENT RemoveEvent;
    LIST_ENTRY TagList;
  } RemoveLock;
} OS_DEP_DATA, *POS_DEP_DATA;

typedef struct _T0_DATA {
  ULONG Lc;
  ULONG Le;
} T0_DATA, *PT0_DATA;

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
  UCHAR RSN;
  UCHAR SSN;
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
// The type of the ReaderFunction slots.
typedef NTSTATUS(NTAPI* PREADER_FUNCTION)(struct _SMARTCARD_EXTENSION* SmartcardExtension);

typedef struct _SMARTCARD_EXTENSION {
  ULONG Version;
  VENDOR_ATTR VendorAttr;
  PREADER_FUNCTION ReaderFunction[RDF_MAXIMUM];
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError;
  struct {
    PULONG Information;
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
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  // (A checked build of the library has its PerfInfo pointer here, taken from Reserved.)
  ULONG Reserved[25];
} SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;

extern "C" {

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length);
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                             ULONG DumpData);
VOID NTAPI SmartcardSetDebugLevel(ULONG Level);
ULONG NTAPI SmartcardGetDebugLevel(VOID);
// Windows 98/Me: a symbolic link to the reader's device, named for the smart card subsystem.
NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension,
                                                 ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

}  // extern "C"
