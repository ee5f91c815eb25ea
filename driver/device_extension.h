// The per-device context: the device object's extension, zero-filled at creation. It begins with
// the smart card library's SMARTCARD_EXTENSION, so that a pointer to it is also the pointer the
// library works with.
#pragma once
#include "platform/wdm.h"
#include "usb/receive_queue.h"

#define PIPE_COUNT 2
#define PIPE_NAME_LENGTH 64    // wide characters, with the terminating zero
#define TRANSFER_CHUNK_SIZE 8  // bytes of one interrupt transfer on either pipe

// Where a device is in its Plug and Play life (PnpState), in the order it goes through them.
#define PNP_STATE_ADDED 0             // AddDevice done, never started
#define PNP_STATE_STARTED 1           // the last start succeeded
#define PNP_STATE_STOPPED 2           // IRP_MN_STOP_DEVICE
#define PNP_STATE_SURPRISE_REMOVED 3  // the converter is gone; IRP_MN_REMOVE_DEVICE to come
#define PNP_STATE_REMOVED 4           // IRP_MN_REMOVE_DEVICE has begun

// One entry of the pipe table.
typedef struct _PIPE_ENTRY {
  UCHAR Opened;                     // 1 while a handle has this pipe open
  PUSBD_PIPE_INFORMATION PipeInfo;  // inside InterfaceInfo; NULL until the table is built
  WCHAR Name[PIPE_NAME_LENGTH];     // "\PIPE00", "\PIPE01"; "\PIPE0X" for an entry without pipe
} PIPE_ENTRY, *PPIPE_ENTRY;

// What the permanent reading thread gets as its start context.
typedef struct _READER_THREAD_CONTEXT {
  PRECEIVE_QUEUE Queue;
  // Orders every enabling of ReadEnableEvent with the stop and the power-down that keep it reset.
  // Taken at PASSIVE_LEVEL, never together with another lock; the thread itself never takes it.
  KMUTEX ReaderMutex;
  KEVENT StopEvent;        // notification: the thread is asked to end (wakes it from any wait)
  KEVENT StoppedEvent;     // notification: the thread's last act
  KEVENT ReadEnableEvent;  // notification: signalled while permanent reading is enabled
  // Interlocked only. Set under ReaderMutex by the stop: from then on nothing enables reading
  // again, and the thread ends at its next look.
  LONG StopRequested;
  // Requests that took the converter from the thread (AcquireConverter) and have not given it
  // back: the thread starts no transfer while there are any, so that a cancel that found it
  // between two transfers still gives the request its turn. Changed under ReaderMutex together
  // with ConverterFree (notification, signalled at 0); read by the thread interlocked.
  LONG ConverterWanted;
  KEVENT ConverterFree;
  PPIPE_ENTRY ReadPipe;
  PDEVICE_OBJECT ReadDevice;
  // The thread's IN transfer, allocated by the start before the thread exists and released by the
  // thread as its last use of it.
  PURB ReadUrb;
  UCHAR ReadChunk[TRANSFER_CHUNK_SIZE];
} READER_THREAD_CONTEXT, *PREADER_THREAD_CONTEXT;

typedef struct _DEVICE_EXTENSION {
  SMARTCARD_EXTENSION SmartcardExtension;  // first: the library's view of the device
  UNICODE_STRING InterfaceName;            // the registered reader interface; empty on legacy
  PDEVICE_OBJECT LowerDevice;              // target of every URB and every request passed down
  PDEVICE_OBJECT PhysicalDevice;
  LONG DevicePowerState;  // a DEVICE_POWER_STATE; CurrentDevicePowerState, SetDevicePowerState
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;                // pool copy, 18 bytes
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // pool copy of the first start's
  LONG InterfaceSettingCount;                             // -1: not counted yet
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;              // pool copy of the selected interface
  DEVICE_CAPABILITIES DeviceCapabilities;
  PIRP PendingPowerIrp;
  // Interlocked: a wake could not ask for D0 (no memory for the request); the next open asks.
  LONG PowerUpOwed;
  KEVENT RemoveEvent;  // notification; set when IoCount reaches 0
  LONG IoCount;        // interlocked only
  KDPC WatchdogDpc;
  KTIMER WatchdogTimer;
  LONG DeviceStarted;  // DeviceIsStarted, SetDeviceStarted
  PIPE_ENTRY Pipes[PIPE_COUNT];
  PPIPE_ENTRY OutPipe;
  PPIPE_ENTRY InPipe;
  RECEIVE_QUEUE ReceiveQueue;
  READER_THREAD_CONTEXT ReaderThreadContext;
  HANDLE ReaderThreadHandle;  // set while the permanent reading thread exists
  PKTHREAD ReaderThread;      // its referenced object, or NULL (ForgetSystemThread)
  BOOLEAN CloseStopsReading;
  BOOLEAN AdaptAlternateSetting;
  BOOLEAN FlowControl;
  // The converter lock: held around every URB submission (at most one URB in flight). Recursive
  // for its owner; PASSIVE_LEVEL only. Taken before UrbLock.
  KMUTEX UsbMutex;
  // Guards CurrentUrbIrp and CurrentUrbYields. Held for a few instructions at DISPATCH_LEVEL, never
  // across a wait; IoCancelIrp is called under it (and so takes the I/O cancel spin lock after it).
  KSPIN_LOCK UrbLock;
  PIRP CurrentUrbIrp;
  // The request in flight is the reading thread's IN transfer, which gives way to other users of
  // the converter (CancelCurrentUrb); theirs are never cut short by one another. Guarded by
  // UrbLock.
  BOOLEAN CurrentUrbYields;
  SERIAL_TIMEOUTS Timeouts;  // ms
  UCHAR WriteChunk[TRANSFER_CHUNK_SIZE];
  ULONG DeviceOpen;
  BOOLEAN UseNextStackLocation;
  // Set by the watchdog's deferred routine when it has run; a submission whose watchdog fired
  // waits for it before the timer and the deferred call can be armed again.
  KEVENT WatchdogIdle;
  // PNP_STATE_*. Written by the Plug and Play dispatch only (requests arrive one at a time); read
  // anywhere (CurrentPnpState): once it has reached PNP_STATE_SURPRISE_REMOVED it never goes back.
  LONG PnpState;
  // The power path. Device power requests arrive one at a time; the reader's bring-up after a
  // start or a power-up runs in the power-up thread behind the closed gate of the reader link.
  // Guards DevicePowerState's changes, PowerHoldsLink, BringUpWanted and PowerThreadEnd, and the
  // gate's opening by the power path; held for a few instructions at DISPATCH_LEVEL, never
  // across a wait. Taken after no other lock.
  KSPIN_LOCK BringUpLock;
  // TRUE from a power-down or a start that closed the reader link's gate until the bring-up (or
  // the removal) that opens it.
  BOOLEAN PowerHoldsLink;
  // The power-up thread is to set the reader up again; counted in IoCount while TRUE.
  BOOLEAN BringUpWanted;
  BOOLEAN PowerThreadEnd;  // the power-up thread is to end
  // The thread that sets the reader up where waiting is allowed (a D0 request completes at
  // DISPATCH_LEVEL, and a start does not wait for the reader); created at the first start or
  // power-down, ended at removal. TRUE while it exists.
  BOOLEAN PowerThreadRunning;
  KEVENT PowerUpEvent;      // synchronization: work handed over, or the thread is to end
  KEVENT PowerThreadEnded;  // notification: the thread's last act
  PKTHREAD PowerThread;     // its referenced object, or NULL (ForgetSystemThread)
  // A URB came back with the converter gone: the device is not usable again, whatever a later
  // power-up says. Set by SubmitUrb, cleared by a start, read anywhere (ConverterFoundGone).
  LONG ConverterGone;
  // The converter's loss counts as the reader link's last line status request found them: a count
  // that has moved since means characters were lost or damaged in between. Used only by that
  // request, which the link makes under its LinkMutex; LossCountsKnown is FALSE until the first.
  BOOLEAN LossCountsKnown;
  USHORT SeenReceiveDropped;
  USHORT SeenReceiveErrors;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

inline PDEVICE_EXTENSION DeviceExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// The states and flags above that any thread reads without a lock: written with an interlocked
// exchange and read with an interlocked compare-exchange, so that a thread on another processor
// sees the last value whole and the compiler keeps no stale copy. Any IRQL.
inline LONG ReadSharedLong(LONG volatile* Field) { return InterlockedCompareExchange(Field, 0, 0); }

inline ULONG CurrentPnpState(PDEVICE_EXTENSION Extension) {
  return (ULONG)ReadSharedLong(&Extension->PnpState);
}
inline void SetPnpState(PDEVICE_EXTENSION Extension, ULONG State) {
  InterlockedExchange(&Extension->PnpState, (LONG)State);
}

inline DEVICE_POWER_STATE CurrentDevicePowerState(PDEVICE_EXTENSION Extension) {
  return (DEVICE_POWER_STATE)ReadSharedLong(&Extension->DevicePowerState);
}
inline void SetDevicePowerState(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE State) {
  InterlockedExchange(&Extension->DevicePowerState, (LONG)State);
}

inline BOOLEAN DeviceIsStarted(PDEVICE_EXTENSION Extension) {
  return ReadSharedLong(&Extension->DeviceStarted) != 0;
}
inline void SetDeviceStarted(PDEVICE_EXTENSION Extension, BOOLEAN Started) {
  InterlockedExchange(&Extension->DeviceStarted, Started ? TRUE : FALSE);
}

inline BOOLEAN ConverterFoundGone(PDEVICE_EXTENSION Extension) {
  return ReadSharedLong(&Extension->ConverterGone) != 0;
}
inline void SetConverterGone(PDEVICE_EXTENSION Extension, BOOLEAN Gone) {
  InterlockedExchange(&Extension->ConverterGone, Gone ? TRUE : FALSE);
}
