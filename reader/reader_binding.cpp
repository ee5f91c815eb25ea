// Binding of the smart card extension to the library, and its undoing at removal.
#include "reader/reader_binding.h"

#include "driver/pool_tag.h"
#include "reader/driver_devices.h"
#include "reader/reader_functions.h"

// Kept as a driver constant: the library reports it as the reader's supported data rates.
static ULONG ReaderDataRates[] = {9600, 19200, 28800, 38400, 57600, 115200};

static void CopyAttributeString(SCARD_ATTR_STRING* Attribute, PCSTR Text) {
  USHORT Length = 0;
  while (Text[Length] != 0) ++Length;
  ++Length;  // the terminating zero is part of the attribute
  RtlCopyMemory(Attribute->Buffer, Text, Length);
  Attribute->Length = Length;
}

static void SetVendorAttributes(PSMARTCARD_EXTENSION SmartcardExtension) {
  CopyAttributeString(&SmartcardExtension->VendorAttr.VendorName, READER_VENDOR_NAME);
  CopyAttributeString(&SmartcardExtension->VendorAttr.IfdType, READER_IFD_TYPE);
  SmartcardExtension->VendorAttr.IfdVersion.VersionMajor = READER_VERSION_MAJOR;
  SmartcardExtension->VendorAttr.IfdVersion.VersionMinor = READER_VERSION_MINOR;
  SmartcardExtension->VendorAttr.IfdVersion.BuildNumber = READER_BUILD_NUMBER;
}

static void SetReaderCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_READER_CAPABILITIES* Caps = &SmartcardExtension->ReaderCapabilities;
  Caps->SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  Caps->MechProperties = 0;
  Caps->CurrentState = SCARD_ABSENT;
  Caps->CLKFrequency.Default = READER_CLOCK_KHZ;
  Caps->CLKFrequency.Max = READER_CLOCK_KHZ;
  // The link runs at the first rate; the others are reachable only by the vendor's rate change.
  Caps->DataRate.Default = ReaderDataRates[0];
  Caps->DataRate.Max = ReaderDataRates[0];
  Caps->DataRatesSupported.List = ReaderDataRates;
  Caps->DataRatesSupported.Entries = (UCHAR)ARRAYSIZE(ReaderDataRates);
  Caps->MaxIFSD = READER_MAX_IFSD;
}

static void SetLinkDefaults(PREADER_EXTENSION ReaderExtension) {
  ReaderExtension->LinkBaudRate.BaudRate = LINK_DEFAULT_BAUD_RATE;
  ReaderExtension->LinkLineControl.StopBits = STOP_BIT_1;
  ReaderExtension->LinkLineControl.Parity = EVEN_PARITY;
  ReaderExtension->LinkLineControl.WordLength = LINK_DEFAULT_WORD_LENGTH;
  ReaderExtension->LinkTimeouts.ReadIntervalTimeout = LINK_DEFAULT_READ_INTERVAL_TIMEOUT_MS;
  ReaderExtension->LinkTimeouts.ReadTotalTimeoutMultiplier = LINK_DEFAULT_READ_TOTAL_MULTIPLIER_MS;
  ReaderExtension->LinkTimeouts.ReadTotalTimeoutConstant = LINK_DEFAULT_READ_TOTAL_CONSTANT_MS;
  ReaderExtension->LinkTimeouts.WriteTotalTimeoutMultiplier =
      LINK_DEFAULT_WRITE_TOTAL_MULTIPLIER_MS;
  ReaderExtension->LinkTimeouts.WriteTotalTimeoutConstant = LINK_DEFAULT_WRITE_TOTAL_CONSTANT_MS;
  ReaderExtension->LinkChars.EofChar = 0;
  ReaderExtension->LinkChars.ErrorChar = 0;
  ReaderExtension->LinkChars.BreakChar = LINK_DEFAULT_BREAK_CHAR;
  ReaderExtension->LinkChars.EventChar = 0;
  ReaderExtension->LinkChars.XonChar = 0;
  ReaderExtension->LinkChars.XoffChar = 0;
  ReaderExtension->LinkHandflow.ControlHandShake = 0;
  ReaderExtension->LinkHandflow.FlowReplace = SERIAL_XOFF_CONTINUE;
  ReaderExtension->LinkHandflow.XonLimit = 0;
  ReaderExtension->LinkHandflow.XoffLimit = 0;
  ReaderExtension->BlockWaitingTime = LINK_DEFAULT_BLOCK_WAITING_TIME_MS;
  ReaderExtension->CharWaitingTime = LINK_DEFAULT_CHAR_WAITING_TIME_MS;
}

NTSTATUS CreateReaderBinding(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension,
                             PSERIAL_IO_ROUTINE SerialIoRoutine) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = (PREADER_EXTENSION)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(READER_EXTENSION), DRIVER_POOL_TAG);
  SmartcardExtension->ReaderExtension = ReaderExtension;
  if (ReaderExtension == NULL) {
    SmartcardLogError(DriverObjectOfDevice(DeviceObject), READER_EVENT_NO_READER_BLOCK, NULL, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(ReaderExtension, sizeof(READER_EXTENSION));
  ReaderExtension->SerialIoRoutine = SerialIoRoutine;
  // Once for the device's life: every later user of the link, a start after a stop included,
  // may find the card tracking thread of an open handle holding it or waiting for it.
  KeInitializeMutex(&ReaderExtension->LinkMutex, 0);
  KeInitializeEvent(&ReaderExtension->LinkGate, NotificationEvent, TRUE);
  ReaderExtension->OpenReferences = 1;
  KeInitializeEvent(&ReaderExtension->OpenReferencesGone, NotificationEvent, FALSE);
  InitializeCardTracking(SmartcardExtension);

  SmartcardExtension->Version = SMCLIB_VERSION;
  SmartcardExtension->SmartcardReply.BufferSize = READER_LIBRARY_BUFFER_SIZE;
  SmartcardExtension->SmartcardRequest.BufferSize = READER_LIBRARY_BUFFER_SIZE;
  NTSTATUS Status = SmartcardInitialize(SmartcardExtension);
  if (!NT_SUCCESS(Status)) {
    SmartcardLogError(DriverObjectOfDevice(DeviceObject),
                      SmartcardExtension->OsData == NULL ? READER_EVENT_NO_READER_BLOCK
                                                         : READER_EVENT_INIT_FAILED,
                      NULL, 0);
    return Status;
  }

  ReaderExtension->SavedReply.Buffer = SmartcardExtension->SmartcardReply.Buffer;
  ReaderExtension->SavedReply.BufferSize = SmartcardExtension->SmartcardReply.BufferSize;
  ReaderExtension->SavedReply.BufferLength = SmartcardExtension->SmartcardReply.BufferLength;
  ReaderExtension->SavedRequest.Buffer = SmartcardExtension->SmartcardRequest.Buffer;
  ReaderExtension->SavedRequest.BufferSize = SmartcardExtension->SmartcardRequest.BufferSize;
  ReaderExtension->SavedRequest.BufferLength = SmartcardExtension->SmartcardRequest.BufferLength;

  SmartcardExtension->OsData->DeviceObject = DeviceObject;
  ReaderExtension->AttachedDevice = DeviceObject;
  ReaderExtension->DeviceObject = DeviceObject;

  SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = ReaderCardPower;
  SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
  SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
  SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
  SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;

  SetVendorAttributes(SmartcardExtension);
  SmartcardExtension->VendorAttr.UnitNo = FindFreeUnitNo(DeviceObject, SmartcardExtension);
  SetReaderCapabilities(SmartcardExtension);
  SetLinkDefaults(ReaderExtension);
  return STATUS_SUCCESS;
}

NTSTATUS ReleaseReaderBinding(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension->OsData != NULL) {
    CompleteCardTracking(SmartcardExtension);
    PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
    // Once only: a second release must not drop a handle's reference.
    if (InterlockedExchange(&ReaderExtension->RemovePending, 1) == 0) {
      ReleaseOpenReference(SmartcardExtension);
    }
    KeWaitForSingleObject(&ReaderExtension->OpenReferencesGone, Executive, KernelMode, FALSE, NULL);
  }
  return STATUS_SUCCESS;
}

NTSTATUS AcquireOpenReference(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  // Counted first, then the removal looked at: a removal that begins in between waits for this
  // reference, and one that began before sees it given back.
  InterlockedIncrement(&ReaderExtension->OpenReferences);
  if (InterlockedCompareExchange(&ReaderExtension->RemovePending, 0, 0) != 0) {
    ReleaseOpenReference(SmartcardExtension);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReleaseOpenReference(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (InterlockedDecrement(&ReaderExtension->OpenReferences) == 0) {
    KeSetEvent(&ReaderExtension->OpenReferencesGone, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_SUCCESS;
}

static void RestoreDescriptor(PUCHAR* Buffer, PULONG BufferSize, PULONG BufferLength,
                              const SAVED_BUFFER* Saved) {
  if (Saved->Buffer == NULL) return;
  *Buffer = Saved->Buffer;
  *BufferSize = Saved->BufferSize;
  *BufferLength = Saved->BufferLength;
}

NTSTATUS DeleteReaderBinding(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PREADER_EXTENSION ReaderExtension = SmartcardExtension->ReaderExtension;
  if (SmartcardExtension->OsData != NULL) {
    // Whatever a reader function lent the descriptors last, the library frees its own buffers.
    if (ReaderExtension != NULL) {
      RestoreDescriptor(&SmartcardExtension->SmartcardReply.Buffer,
                        &SmartcardExtension->SmartcardReply.BufferSize,
                        &SmartcardExtension->SmartcardReply.BufferLength,
                        &ReaderExtension->SavedReply);
      RestoreDescriptor(&SmartcardExtension->SmartcardRequest.Buffer,
                        &SmartcardExtension->SmartcardRequest.BufferSize,
                        &SmartcardExtension->SmartcardRequest.BufferLength,
                        &ReaderExtension->SavedRequest);
    }
    SmartcardExit(SmartcardExtension);
  }
  if (ReaderExtension != NULL) {
    if (ReaderExtension->LegacyLinkName.Buffer != NULL) {
      // The library allocated the name when it created the link, under its own tag.
      RtlFreeUnicodeString(&ReaderExtension->LegacyLinkName);
      ReaderExtension->LegacyLinkName.Buffer = NULL;
    }
    ExFreePoolWithTag(ReaderExtension, DRIVER_POOL_TAG);
    SmartcardExtension->ReaderExtension = NULL;
  }
  return STATUS_SUCCESS;
}
