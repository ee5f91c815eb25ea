// The reader functions the smart card library calls through ReaderFunction[RDF_*], and the
// completion of the library's pending presence request. Routines the library or the system call
// are declared NTAPI (__stdcall on x86 Windows).
#pragma once
#include "platform/wdm.h"

NTSTATUS NTAPI ReaderCardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);

// Completes OsData->NotificationIrp, if one pends.
NTSTATUS CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// The cancel routine of the pending presence request.
VOID NTAPI CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Asks the reader for the card status and sets the card state from it. Caller holds LinkMutex.
NTSTATUS QueryCardStatus(PSMARTCARD_EXTENSION SmartcardExtension);
// Where the card state changes, with ForgetProtocolAfterReset (protocol selection aside);
// completes the pending presence request when presence changed.
NTSTATUS SetCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State);
// After the reader has carried out a reset: no protocol is in force any more, for the card or for
// the reader, so a selection in force is dropped and the next one is carried out again.
NTSTATUS ForgetProtocolAfterReset(PSMARTCARD_EXTENSION SmartcardExtension);

// The card tracking thread, while a handle is open. Every start (an open) is matched by one stop
// (its close); the thread runs while starts outnumber stops. A start that meets a stop in progress
// waits until that stop has ended the thread, then starts a new one.
NTSTATUS InitializeCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);  // at binding
NTSTATUS StartCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS StopCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI CardTrackingThread(PVOID Context);
