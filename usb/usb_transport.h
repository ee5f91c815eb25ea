// The USB transport to the converter: URB submission with its watchdog, descriptors and the
// pipe table, the converter's control requests, the permanent reading thread and the read and
// write dispatch routines. Every routine here runs at PASSIVE_LEVEL unless it says otherwise.
#pragma once
#include "driver/device_extension.h"

// --- URB submission ---

// A URB the converter has not completed this long after it went pending is cancelled.
#define URB_WATCHDOG_100NS 25000000LL  // 2.5 s

// Hands the URB to LowerDevice and waits until the bus driver has finished with it; returns its
// status (STATUS_CANCELLED when the watchdog or CancelCurrentUrb cut it short; a transfer URB then
// reports the bytes moved before). The caller holds UsbMutex.
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
// The same, for a URB that is only wanted while Enabled is signalled: when it is not, at the
// moment the URB would go in flight (or while a request has taken the converter with
// AcquireConverter), nothing is sent and STATUS_CANCELLED is returned (a transfer
// URB reports 0 bytes moved). Closes
// the gap between a check of the event and a CancelCurrentUrb that finds nothing in flight yet.
NTSTATUS SubmitUrbWhileEnabled(PDEVICE_OBJECT DeviceObject, PURB Urb, PKEVENT Enabled);
// Cancels the URB in flight when it is one that SubmitUrbWhileEnabled sent (the reading thread's
// transfer); any other is left to finish. Never waits; any IRQL up to DISPATCH_LEVEL.
NTSTATUS CancelCurrentUrb(PDEVICE_OBJECT DeviceObject);

// --- descriptors, configuration and pipes ---

#define CONFIGURATION_FIRST_READ 265

// Pool copies the caller owns (free with ExFreePoolWithTag and DRIVER_POOL_TAG); *Descriptor is
// NULL on failure.
NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PUSB_DEVICE_DESCRIPTOR* Descriptor);
NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject,
                                    PUSB_CONFIGURATION_DESCRIPTOR* Descriptor);
NTSTATUS GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index,
                             PUSB_STRING_DESCRIPTOR* Descriptor);
// Device start: reads the configuration descriptor and selects it with interface 0.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject);
// Without Selection selects the configuration Cd; with one, the interface setting it names
// (InterfaceNumber and AlternateSetting are read), or interface 0 setting 0 when Cd has no such
// setting. On success InterfaceInfo holds the selected interface. A caller that goes on to
// BuildPipeTable while the reading thread may run holds UsbMutex across both, so that no transfer
// is built from a pipe table that InterfaceInfo no longer backs.
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Cd,
                         PUSBD_INTERFACE_INFORMATION Selection);
// Fills the two entries of Pipes from InterfaceInfo.
NTSTATUS BuildPipeTable(PDEVICE_OBJECT DeviceObject);
// Selects the setting of interface 0 whose IN endpoint's polling interval is nearest to the time
// 8 characters take at the rate RateCode names (a converter rate bit, or the rate itself).
NTSTATUS SelectSettingForRate(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Cd,
                              USHORT RateCode);
NTSTATUS FindSettingForInterval(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Cd,
                                UCHAR Target, PUCHAR InterfaceNumber, PUCHAR AlternateSetting);

// --- converter control requests ---

// Vendor request IN with an 8-byte reply; on entry *Value and *Index (0 when NULL) are sent, on
// success they receive reply words 0 and 1.
NTSTATUS ZarUSBSerConv_ReadPort(PDEVICE_OBJECT DeviceObject, UCHAR Request, PUSHORT Value,
                                PUSHORT Index);
NTSTATUS ZarUSBSerConv_WritePort(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value,
                                 USHORT Index);

typedef struct _CONVERTER_COUNTERS {
  USHORT ReceiveLevel;    // bytes in the receive FIFO, not yet sent on the IN pipe
  USHORT ReceiveDropped;  // wrapping count of characters lost to a full receive FIFO
  USHORT ReceiveErrors;   // wrapping count of characters with parity or framing errors
} CONVERTER_COUNTERS, *PCONVERTER_COUNTERS;

// Reads the converter's FIFO levels and loss counts (request CONVERTER_REQUEST_COUNTERS).
NTSTATUS ReadConverterCounters(PDEVICE_OBJECT DeviceObject, PCONVERTER_COUNTERS Counters);
NTSTATUS SetPortValue(PDEVICE_OBJECT DeviceObject, USHORT Value);
NTSTATUS WritePortData(PDEVICE_OBJECT DeviceObject, PVOID Data, ULONG Length);

// --- permanent reading ---

// STATUS_UNSUCCESSFUL when the thread exists already.
NTSTATUS StartReadingThread(PDEVICE_OBJECT DeviceObject);
// FALSE when there was no thread; TRUE once it has ended. Cancels the thread's transfer in flight
// and does not wait on the thread object.
BOOLEAN StopReadingThread(PDEVICE_OBJECT DeviceObject);
// Permanent reading is switched only through these, never by setting or resetting ReadEnableEvent
// directly: a stop in progress keeps it signalled, a power-down keeps it reset.
// Signals ReadEnableEvent unless the device is powered down or the thread is being stopped;
// returns whether it did.
BOOLEAN EnableReading(PDEVICE_OBJECT DeviceObject);
// Resets ReadEnableEvent unless the thread is being stopped.
NTSTATUS DisableReading(PDEVICE_OBJECT DeviceObject);
// Disables reading and returns once no transfer of the thread is in flight: a pending one is
// cancelled. Takes UsbMutex for a moment; the caller holds none of the reading locks.
NTSTATUS PauseReading(PDEVICE_OBJECT DeviceObject);
// UsbMutex for a request that needs the converter while the thread may hold it for a pending IN
// transfer: the transfer is cancelled and the thread starts no other until ReleaseConverter, even
// when the cancel found it between two transfers. Pairs with ReleaseConverter; takes ReaderMutex
// for a moment before UsbMutex, never with it.
NTSTATUS AcquireConverter(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReleaseConverter(PDEVICE_OBJECT DeviceObject);
VOID NTAPI ZarUSB_ReadUSBThread(PVOID Context);

// --- read and write dispatch ---

DRIVER_DISPATCH ZarUSBSerConv_Read;
DRIVER_DISPATCH ZarUSBSerConv_Write;
