// AddDevice: the device object for one converter, its extension and starting values, the
// smart card library binding, the reader interface (or the legacy link), the attachment to the
// USB stack and the capabilities the bus driver reports.
//
// A device is used only whole: when a step fails, what the earlier ones created (binding,
// interface name, queue storage, the device object itself) is released again, and AddDevice
// returns the failing status. A device the stack would not take (IoAttachDeviceToDeviceStack
// NULL) gives STATUS_NO_SUCH_DEVICE; a receive queue without storage
// STATUS_INSUFFICIENT_RESOURCES.
#include "control/reader_serial_io.h"
#include "driver/driver.h"
#include "reader/reader_binding.h"

#define DEVICE_NAME_ATTEMPTS 9
#define DEVICE_NAME_DIGIT 15  // index of the last character of "\Device\USBTESK0"
#define DEVICE_CAPABILITIES_VERSION 1
#define CAPABILITY_UNKNOWN 0xFFFFFFFF
#define SETTINGS_NOT_COUNTED (-1)

// Serial port time-outs of a new device, ms.
#define DEFAULT_READ_INTERVAL_TIMEOUT 50
#define DEFAULT_READ_TOTAL_MULTIPLIER 50
#define DEFAULT_READ_TOTAL_CONSTANT 5000
#define DEFAULT_WRITE_TOTAL_MULTIPLIER 50
#define DEFAULT_WRITE_TOTAL_CONSTANT 50

static const WCHAR DeviceNameTemplate[] = WSTR("\\Device\\USBTESK0");

// "\Device\USBTESK0", then the same name ending in '1' ... '8', until one is created.
static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, PWCHAR NameBuffer,
                                  PUNICODE_STRING Name, PDEVICE_OBJECT* DeviceObject) {
  RtlCopyMemory(NameBuffer, DeviceNameTemplate, sizeof(DeviceNameTemplate));
  RtlInitUnicodeString(Name, NameBuffer);
  NTSTATUS Status = STATUS_OBJECT_NAME_COLLISION;
  for (ULONG Attempt = 0; Attempt < DEVICE_NAME_ATTEMPTS; ++Attempt) {
    NameBuffer[DEVICE_NAME_DIGIT] = (WCHAR)(u'0' + Attempt);
    Status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), Name, FILE_DEVICE_UNKNOWN, 0,
                            TRUE, DeviceObject);
    if (NT_SUCCESS(Status)) return Status;
  }
  *DeviceObject = NULL;
  return Status;
}

// Everything not set here starts zero, as IoCreateDevice left it.
static NTSTATUS InitializeExtension(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  Extension->InterfaceSettingCount = SETTINGS_NOT_COUNTED;
  SetDeviceStarted(Extension, TRUE);
  Extension->IoCount = 0;
  Extension->AdaptAlternateSetting = TRUE;
  PREADER_THREAD_CONTEXT Context = &Extension->ReaderThreadContext;
  Context->Queue = &Extension->ReceiveQueue;
  Context->ReadPipe = &Extension->Pipes[0];
  KeInitializeMutex(&Context->ReaderMutex, 0);
  KeInitializeEvent(&Context->ReadEnableEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Context->StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Context->StoppedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Context->ConverterFree, NotificationEvent, TRUE);
  KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->WatchdogIdle, NotificationEvent, TRUE);
  KeInitializeMutex(&Extension->UsbMutex, 0);
  KeInitializeSpinLock(&Extension->UrbLock);
  KeInitializeSpinLock(&Extension->BringUpLock);
  Extension->CurrentUrbIrp = NULL;
  Extension->Timeouts.ReadIntervalTimeout = DEFAULT_READ_INTERVAL_TIMEOUT;
  Extension->Timeouts.ReadTotalTimeoutMultiplier = DEFAULT_READ_TOTAL_MULTIPLIER;
  Extension->Timeouts.ReadTotalTimeoutConstant = DEFAULT_READ_TOTAL_CONSTANT;
  Extension->Timeouts.WriteTotalTimeoutMultiplier = DEFAULT_WRITE_TOTAL_MULTIPLIER;
  Extension->Timeouts.WriteTotalTimeoutConstant = DEFAULT_WRITE_TOTAL_CONSTANT;
  return QueueInit(&Extension->ReceiveQueue, RECEIVE_QUEUE_SIZE);
}

static NTSTATUS NTAPI CapabilitiesQueried(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Asks the stack below for the device's capabilities; what it answers is not checked.
static NTSTATUS QueryCapabilities(PDEVICE_EXTENSION Extension) {
  PIRP Irp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
  if (Irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PDEVICE_CAPABILITIES Capabilities = &Extension->DeviceCapabilities;
  RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
  Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  Capabilities->Version = DEVICE_CAPABILITIES_VERSION;
  Capabilities->Address = CAPABILITY_UNKNOWN;
  Capabilities->UINumber = CAPABILITY_UNKNOWN;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_PNP;
  Next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  Next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, CapabilitiesQueried, &Done, TRUE, TRUE, TRUE);
  if (IoCallDriver(Extension->LowerDevice, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
  }
  IoFreeIrp(Irp);
  return STATUS_SUCCESS;
}

static NTSTATUS PublishReader(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_EXTENSION Extension,
                              PUNICODE_STRING DeviceName) {
  if (LegacyPlatform) {
    // The library names the link; without one the reader is still reachable by device name.
    SmartcardCreateLink(&Extension->SmartcardExtension.ReaderExtension->LegacyLinkName, DeviceName);
    return STATUS_SUCCESS;
  }
  return IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, NULL,
                                   &Extension->InterfaceName);
}

static NTSTATUS AttachToStack(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  DeviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  Extension->PhysicalDevice = PhysicalDeviceObject;
  Extension->LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Extension->LowerDevice == NULL) return STATUS_NO_SUCH_DEVICE;
  QueryCapabilities(Extension);
  Extension->SmartcardExtension.ReaderExtension->AttachedDevice = Extension->LowerDevice;
  IoIncrement(DeviceObject);
  return STATUS_SUCCESS;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  WCHAR NameBuffer[ARRAYSIZE(DeviceNameTemplate)];
  UNICODE_STRING DeviceName;
  PDEVICE_OBJECT DeviceObject;
  NTSTATUS Status = CreateNamedDevice(DriverObject, NameBuffer, &DeviceName, &DeviceObject);
  if (NT_SUCCESS(Status)) {
    PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
    Status = InitializeExtension(DeviceObject);
    if (NT_SUCCESS(Status)) {
      Status = CreateReaderBinding(DeviceObject, &Extension->SmartcardExtension, ReaderSerialIo);
    }
    if (NT_SUCCESS(Status)) Status = PublishReader(PhysicalDeviceObject, Extension, &DeviceName);
    if (NT_SUCCESS(Status)) Status = AttachToStack(DeviceObject, PhysicalDeviceObject);
    if (!NT_SUCCESS(Status)) TearDownDevice(DeviceObject);
  }
  // Asked as every USB client driver does at creation; the answer is not needed.
  USBD_VERSION_INFORMATION Version;
  USBD_GetUSBDIVersion(&Version);
  return Status;
}
