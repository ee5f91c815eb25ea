// Plug and Play: the device comes up on IRP_MN_START_DEVICE (descriptors, configuration, pipes,
// converter status, reading thread, reader link, interface), goes down on IRP_MN_STOP_DEVICE and
// IRP_MN_REMOVE_DEVICE, reports that it may be pulled out, and passes everything else down.
//
// Start and stop hold LinkMutex throughout (taken directly: they come from the Plug and Play
// manager, whatever the power path is doing), so that the card tracking thread of a handle kept
// open across a stop never uses the link while the converter is reconfigured; the configuration
// and the pipe table change together under UsbMutex. The start does not wait for the reader: once
// the configuration, the pipes and the reading thread are up it completes, and the link comes up
// behind its closed gate in the power-up thread. A start the lower drivers failed sends nothing.
// A stop is never failed and always goes down; from it until the next successful start (and after
// a failed start) requests are refused and nothing reaches the released configuration. A surprise
// removal marks the device unusable at once: the converter is gone, and requests are refused rather
// than sent to it. Both removals end the power path's hold of the link, so that a user waiting for
// a power-up that will not come goes on (and fails), and wake a read waiting on the receive queue.
#include "driver/driver.h"
#include "driver/pool_tag.h"
#include "reader/reader_extension.h"
#include "usb/converter_protocol.h"
#include "usb/usb_transport.h"

// The converter's status ports read at start take no index: every read sends 0.
#define PORT_READ_INDEX 0

typedef struct _PASS_DOWN_WAIT {
  KEVENT Done;
} PASS_DOWN_WAIT, *PPASS_DOWN_WAIT;

// Completion at any IRQL up to DISPATCH_LEVEL: signals the waiting dispatch, which owns the IRP
// again.
static NTSTATUS NTAPI LowerDriversDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(&((PPASS_DOWN_WAIT)Context)->Done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(Extension->LowerDevice, Irp);
}

static NTSTATUS PassDownAndWait(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PASS_DOWN_WAIT Wait;
  KeInitializeEvent(&Wait.Done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, LowerDriversDone, &Wait, TRUE, TRUE, TRUE);
  if (IoCallDriver(Extension->LowerDevice, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&Wait.Done, Executive, KernelMode, FALSE, NULL);
  }
  return Irp->IoStatus.Status;
}

static void EnableInterface(PDEVICE_EXTENSION Extension, BOOLEAN Enable) {
  if (!LegacyPlatform && Extension->InterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Extension->InterfaceName, Enable);
  }
}

// Flow control and the close behaviour, from the converter's status ports.
static void ReadConverterStatus(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  Extension->FlowControl = FALSE;
  USHORT Value = CONVERTER_PORT_CAPABILITIES;
  USHORT Index = PORT_READ_INDEX;
  if (NT_SUCCESS(ZarUSBSerConv_ReadPort(DeviceObject, CONVERTER_REQUEST_PORT, &Value, &Index))) {
    // Reply byte 3: the high byte of the second word.
    UCHAR Capabilities = (UCHAR)(Index >> 8);
    if (Capabilities & CONVERTER_CAPABILITY_OUTPUT_FLOW_CONTROL) {
      Value = CONVERTER_PORT_FLOW;
      Index = PORT_READ_INDEX;
      if (NT_SUCCESS(
              ZarUSBSerConv_ReadPort(DeviceObject, CONVERTER_REQUEST_PORT, &Value, &Index))) {
        // Reply byte 0: the low byte of the first word.
        Extension->FlowControl = (Value & CONVERTER_FLOW_CONTROL_ON) != 0;
      }
    }
    Extension->CloseStopsReading = (Capabilities & CONVERTER_CAPABILITY_CLOSE_STOPS_READING) != 0;
  }
  Value = CONVERTER_PORT_IDENTITY;
  Index = PORT_READ_INDEX;
  ZarUSBSerConv_ReadPort(DeviceObject, CONVERTER_REQUEST_PORT, &Value, &Index);
}

// Caller holds LinkMutex. The reader's bring-up is not waited for: it follows behind the link's
// closed gate (BringUpAfterStart).
static NTSTATUS StartSequence(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  // A start after a stop reads the descriptor again.
  if (Extension->DeviceDescriptor != NULL) {
    ExFreePoolWithTag(Extension->DeviceDescriptor, DRIVER_POOL_TAG);
    Extension->DeviceDescriptor = NULL;
  }
  NTSTATUS Status = GetDeviceDescriptor(DeviceObject, &Extension->DeviceDescriptor);
  if (Extension->DeviceDescriptor == NULL) return NT_SUCCESS(Status) ? STATUS_UNSUCCESSFUL : Status;

  CancelCurrentUrb(DeviceObject);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  Status = SelectConfiguration(DeviceObject);
  if (NT_SUCCESS(Status)) Status = BuildPipeTable(DeviceObject);
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  if (!NT_SUCCESS(Status)) return Status;

  ReadConverterStatus(DeviceObject);
  // From here on the start succeeds: a reader that does not answer shows on its first exchange.
  StartReadingThread(DeviceObject);
  return STATUS_SUCCESS;
}

// A start that failed, below or here, leaves a device that takes no I/O: one that was started
// (a start without a stop before it) is stopped now, and its interface withdrawn; one never
// started stays so.
static NTSTATUS FailStart(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (CurrentPnpState(Extension) == PNP_STATE_STARTED) {
    SetPnpState(Extension, PNP_STATE_STOPPED);
    EnableInterface(Extension, FALSE);
  }
  return CompleteRequest(Irp, Status);
}

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_EXTENSION ReaderExtension = Extension->SmartcardExtension.ReaderExtension;
  // A stack whose lower drivers failed the start is not used: nothing is sent to the converter.
  NTSTATUS Status = PassDownAndWait(Extension, Irp);
  if (!NT_SUCCESS(Status)) return FailStart(DeviceObject, Irp, Status);
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  // A converter that a transfer of this start finds gone stays gone.
  SetConverterGone(Extension, FALSE);
  Status = StartSequence(DeviceObject);
  if (NT_SUCCESS(Status)) {
    SetPnpState(Extension, PNP_STATE_STARTED);
    BringUpAfterStart(DeviceObject);
  }
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  if (!NT_SUCCESS(Status)) return FailStart(DeviceObject, Irp, Status);
  EnableInterface(Extension, TRUE);
  return CompleteRequest(Irp, Status);
}

// Unconfigures the converter and ends permanent reading; the descriptors stay. Cannot fail: the
// unconfiguring request lives on the stack, and the stop goes down whatever the bus said.
static void StopSequence(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  URB Unconfigure;
  RtlZeroMemory(&Unconfigure, sizeof(Unconfigure));
  UsbBuildSelectConfigurationRequest(&Unconfigure, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION),
                                     NULL);
  CancelCurrentUrb(DeviceObject);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  SubmitUrb(DeviceObject, &Unconfigure);
  // The configuration and its pipe handles are gone with it: nothing may use them again.
  Extension->ConfigurationHandle = NULL;
  Extension->OutPipe = NULL;
  Extension->InPipe = NULL;
  for (ULONG Index = 0; Index < PIPE_COUNT; ++Index) Extension->Pipes[Index].PipeInfo = NULL;
  Extension->ReaderThreadContext.ReadPipe = NULL;
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  StopReadingThread(DeviceObject);
}

static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PREADER_EXTENSION ReaderExtension = Extension->SmartcardExtension.ReaderExtension;
  // Stopped first: requests are refused from here on, and a user inside the link (a bring-up
  // with a reader that does not answer) fails at its next serial request and lets the link go.
  SetPnpState(Extension, PNP_STATE_STOPPED);
  KeWaitForSingleObject(&ReaderExtension->LinkMutex, Executive, KernelMode, FALSE, NULL);
  StopSequence(DeviceObject);
  KeReleaseMutex(&ReaderExtension->LinkMutex, FALSE);
  EnableInterface(Extension, FALSE);
  // Never failed, always passed down.
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(Extension, Irp);
}

// What both removals do first: no new request gets in, nobody waits for the device any more.
static void MarkGone(PDEVICE_OBJECT DeviceObject, ULONG PnpState) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  SetPnpState(Extension, PnpState);
  SetDeviceStarted(Extension, FALSE);
  ReleasePowerHold(DeviceObject);
  QueueWakeWaiter(&Extension->ReceiveQueue);
}

static NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  MarkGone(DeviceObject, PNP_STATE_SURPRISE_REMOVED);
  EnableInterface(Extension, FALSE);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Extension->LowerDevice, Irp);
}

// Gives back this dispatch's count and AddDevice's, waits for every counted request to leave, and
// ends the device. The lower drivers complete the request.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  IoDecrement(DeviceObject);
  MarkGone(DeviceObject, PNP_STATE_REMOVED);
  NTSTATUS Status = PassDown(Extension, Irp);
  IoDecrement(DeviceObject);
  KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
  TearDownDevice(DeviceObject);
  return Status;
}

// Any IRQL up to DISPATCH_LEVEL. Whatever the bus reported, the device may be pulled out.
static NTSTATUS NTAPI CapabilitiesPassedUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Context);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  PDEVICE_CAPABILITIES Capabilities =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (Capabilities != NULL) Capabilities->SurpriseRemovalOK = TRUE;
  return STATUS_SUCCESS;
}

static NTSTATUS QueryCapabilities(PDEVICE_EXTENSION Extension, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, CapabilitiesPassedUp, NULL, TRUE, TRUE, TRUE);
  return IoCallDriver(Extension->LowerDevice, Irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS Status;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      Status = StartDevice(DeviceObject, Irp);
      break;
    case IRP_MN_STOP_DEVICE:
      Status = StopDevice(DeviceObject, Irp);
      break;
    case IRP_MN_REMOVE_DEVICE:
      // Gives the count back itself; the device is gone when it returns.
      return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      Status = SurpriseRemoval(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      Status = QueryCapabilities(Extension, Irp);
      break;
    default:
      Status = PassDown(Extension, Irp);
      break;
  }
  IoDecrement(DeviceObject);
  return Status;
}
