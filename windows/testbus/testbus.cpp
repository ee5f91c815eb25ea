// A test-only USB bus for Wine: root-enumerated, it reports one child device per converter its
// relay imports from zarq7-usbip (hardware ID USB\VID_F7A5&PID_0C01), and carries the URBs the
// child's function driver sends into USB/IP requests through the relay (testbus_interface.h).
// Never part of the driver package. Built by the Windows build for x64 only, against the DDK
// headers of MinGW-w64.
//
// Locking: BusLock (a spin lock) guards the child table, the work queues and the pending fetch
// requests. Requests are completed only after it is released.
// clang-format off
#include "platform/windows/kernel.h"
#include <usb.h>
#include <usbioctl.h>
// clang-format on

#include "testbus_interface.h"

// Pool tag "TB7Z" (read backwards in a pool dump: Z7BT).
#define TESTBUS_TAG (ULONG('T') | ULONG('B') << 8 | ULONG('7') << 16 | ULONG('Z') << 24)
#define TESTBUS_MAX_CHILDREN 9
#define TESTBUS_PREFIX "zarq7-testbus: "

// USB/IP reports the Linux errno of a transfer.
#define LINUX_ENOENT 2
#define LINUX_ENODEV 19
#define LINUX_EPIPE 32
#define LINUX_EOVERFLOW 75
#define LINUX_ECONNRESET 104
#define LINUX_ESHUTDOWN 108
#define LINUX_EPROTO 71
#define LINUX_ETIMEDOUT 110

namespace {

enum DEVICE_KIND { KindControl = 1, KindBus, KindChild };

struct COMMON_EXTENSION {
  DEVICE_KIND Kind;
};

struct BUS_EXTENSION {
  COMMON_EXTENSION Common;
  PDEVICE_OBJECT Pdo;
  PDEVICE_OBJECT Lower;
};

struct CHILD_EXTENSION {
  COMMON_EXTENSION Common;
  ULONG Number;
  TESTBUS_PLUG Identity;
  BOOLEAN Present;       // reported to the system (guarded by BusLock)
  BOOLEAN Reported;      // the system has seen it in a relations list
  BOOLEAN Gone;          // unplugged or surprise-removed: transfers fail
  PUCHAR Configuration;  // the selected configuration's descriptor (copy), or NULL
  ULONG ConfigurationLength;
};

// One URB on its way: queued (not yet fetched by the relay) or in flight (fetched).
struct WORK_ITEM {
  LIST_ENTRY Link;
  PIRP Irp;  // NULL for an unlink
  ULONG Child;
  TESTBUS_WORK Work;
  PUCHAR Buffer;      // the URB's transfer buffer
  BOOLEAN Unlinking;  // cancelled while in flight: the server's answer or unlink ends it
  BOOLEAN Answered;   // answered while its cancel routine was about to run
  USBD_STATUS AnswerStatus;
  ULONG AnswerLength;
};

KSPIN_LOCK BusLock;
PDEVICE_OBJECT ControlDevice;
PDEVICE_OBJECT BusFdo;
CHILD_EXTENSION* Children[TESTBUS_MAX_CHILDREN];
PDEVICE_OBJECT ChildDevices[TESTBUS_MAX_CHILDREN];
LIST_ENTRY Queued[TESTBUS_MAX_CHILDREN];   // WORK_ITEMs not yet fetched
LIST_ENTRY InFlight;                       // WORK_ITEMs fetched, waiting for their outcome
LIST_ENTRY Fetches[TESTBUS_MAX_CHILDREN];  // pending fetch IRPs (Tail.Overlay.ListEntry)
ULONG NextSequence = 1;
KEVENT WorkReady[TESTBUS_MAX_CHILDREN];  // synchronization: the child's queue has work
LONG PumpsEnding[TESTBUS_MAX_CHILDREN];  // the child's pipes broke: its pumps end

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

PURB UrbOf(PIRP Irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
}

// ---- fetch requests (pending, cancellable) ----

VOID NTAPI CancelFetch(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL Irql;
  KeAcquireSpinLock(&BusLock, &Irql);
  BOOLEAN Queued = !IsListEmpty(&Irp->Tail.Overlay.ListEntry);
  if (Queued) {
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
  }
  KeReleaseSpinLock(&BusLock, Irql);
  if (Queued) CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// A pending fetch of the child's, taken from its queue, or NULL. One whose cancel routine runs
// already stays queued for that routine to find and complete. Under BusLock.
PIRP TakeFetch(ULONG Child) {
  for (PLIST_ENTRY Entry = Fetches[Child].Flink; Entry != &Fetches[Child]; Entry = Entry->Flink) {
    PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
    if (!IoSetCancelRoutine(Irp, NULL)) continue;
    RemoveEntryList(Entry);
    InitializeListHead(Entry);
    return Irp;
  }
  return NULL;
}

VOID NTAPI CancelUrb(PDEVICE_OBJECT, PIRP Irp);
void CompleteUrb(PIRP Irp, USBD_STATUS UsbdStatus, ULONG Actual);

// Writes a work item as the relay takes it (its record, then an OUT transfer's data) to Out,
// which holds sizeof(TESTBUS_WORK) + TESTBUS_MAX_TRANSFER; returns the bytes written.
ULONG FillWork(PUCHAR Out, WORK_ITEM* Item) {
  RtlCopyMemory(Out, &Item->Work, sizeof(TESTBUS_WORK));
  ULONG Size = sizeof(TESTBUS_WORK);
  if (Item->Work.Kind == TESTBUS_WORK_SUBMIT && !Item->Work.DirectionIn && Item->Work.Length) {
    RtlCopyMemory(Out + Size, Item->Buffer, Item->Work.Length);
    Size += Item->Work.Length;
  }
  return Size;
}
ULONG FillFetch(PIRP Irp, WORK_ITEM* Item) {
  return FillWork(static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer), Item);
}

// Hands a work item to the relay: to a pending fetch at once, or into the child's queue.
// Takes BusLock.
void Dispatch(WORK_ITEM* Item) {
  KIRQL Irql;
  PIRP Fetch = NULL;
  ULONG Size = 0;
  KeAcquireSpinLock(&BusLock, &Irql);
  if (Item->Irp) {
    // Cancellable from here on; the cancel routine takes BusLock, so it finds the item queued.
    IoSetCancelRoutine(Item->Irp, CancelUrb);
    if (Item->Irp->Cancel && IoSetCancelRoutine(Item->Irp, NULL)) {
      KeReleaseSpinLock(&BusLock, Irql);
      PIRP Irp = Item->Irp;
      ExFreePoolWithTag(Item, TESTBUS_TAG);
      CompleteUrb(Irp, USBD_STATUS_CANCELED, 0);
      return;
    }
  }
  Fetch = TakeFetch(Item->Child);
  if (Fetch) {
    Size = FillFetch(Fetch, Item);
    if (Item->Irp) InsertTailList(&InFlight, &Item->Link);
  } else {
    InsertTailList(&Queued[Item->Child], &Item->Link);
    KeSetEvent(&WorkReady[Item->Child], IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&BusLock, Irql);
  if (Fetch) {
    if (!Item->Irp) ExFreePoolWithTag(Item, TESTBUS_TAG);
    CompleteRequest(Fetch, STATUS_SUCCESS, Size);
  }
}

// ---- URBs ----

USBD_STATUS UsbdStatusOf(LONG LinuxStatus) {
  switch (-LinuxStatus) {
    case 0:
      return USBD_STATUS_SUCCESS;
    case LINUX_EPIPE:
      return USBD_STATUS_STALL_PID;
    case LINUX_ENOENT:
    case LINUX_ECONNRESET:
      return USBD_STATUS_CANCELED;
    case LINUX_ENODEV:
    case LINUX_ESHUTDOWN:
      return USBD_STATUS_DEVICE_GONE;
    case LINUX_EOVERFLOW:
      return USBD_STATUS_BABBLE_DETECTED;
    case LINUX_ETIMEDOUT:
      return USBD_STATUS_TIMEOUT;
    default:
      return USBD_STATUS_INTERNAL_HC_ERROR;
  }
}

// Completes a URB's IRP with a USBD status and the bytes moved.
void CompleteUrb(PIRP Irp, USBD_STATUS UsbdStatus, ULONG Actual) {
  PURB Urb = UrbOf(Irp);
  Urb->UrbHeader.Status = UsbdStatus;
  switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Actual;
      break;
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      // The same place in all of them.
      Urb->UrbControlTransfer.TransferBufferLength = Actual;
      break;
    default:
      break;
  }
  NTSTATUS Status = STATUS_SUCCESS;
  if (UsbdStatus == USBD_STATUS_CANCELED)
    Status = STATUS_CANCELLED;
  else if (UsbdStatus == USBD_STATUS_DEVICE_GONE)
    Status = STATUS_DEVICE_NOT_CONNECTED;
  else if (USBD_ERROR(UsbdStatus))
    Status = STATUS_UNSUCCESSFUL;
  CompleteRequest(Irp, Status, 0);
}

// The cancel routine of a URB's IRP: a queued one is taken back here; one in flight is
// completed as cancelled and the relay is told to unlink it (its late answer finds nothing).
VOID NTAPI CancelUrb(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  WORK_ITEM* Item = static_cast<WORK_ITEM*>(Irp->Tail.Overlay.DriverContext[0]);
  KIRQL Irql;
  KeAcquireSpinLock(&BusLock, &Irql);
  BOOLEAN Mine = Item && Item->Irp == Irp && !IsListEmpty(&Item->Link);
  BOOLEAN InFlightNow = FALSE;
  if (Mine) {
    for (PLIST_ENTRY Entry = InFlight.Flink; Entry != &InFlight; Entry = Entry->Flink)
      if (Entry == &Item->Link) InFlightNow = TRUE;
    // A transfer in flight whose answer came meanwhile is completed with it; one still out at
    // the server is unlinked and stays in flight until the server says how it ended: the data
    // of an IN transfer the device had answered already is not lost to a late cancel.
    if (!InFlightNow || Item->Answered) {
      RemoveEntryList(&Item->Link);
      InitializeListHead(&Item->Link);
    } else {
      Item->Unlinking = TRUE;
    }
  }
  KeReleaseSpinLock(&BusLock, Irql);
  if (!Mine) return;
  if (Item->Answered) {
    USBD_STATUS Status = Item->AnswerStatus;
    ULONG Actual = Item->AnswerLength;
    ExFreePoolWithTag(Item, TESTBUS_TAG);
    CompleteUrb(Irp, Status, Actual);
    return;
  }
  DbgPrint(TESTBUS_PREFIX "transfer %lu cancelled%s\n", Item->Work.Sequence,
           InFlightNow ? ", unlinking" : "");
  if (!InFlightNow) {
    ExFreePoolWithTag(Item, TESTBUS_TAG);
    CompleteUrb(Irp, USBD_STATUS_CANCELED, 0);
    return;
  }
  WORK_ITEM* Unlink =
      static_cast<WORK_ITEM*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_ITEM), TESTBUS_TAG));
  if (!Unlink) {
    // No unlink can be sent: the transfer ends here, and its late answer finds nothing.
    KeAcquireSpinLock(&BusLock, &Irql);
    RemoveEntryList(&Item->Link);
    KeReleaseSpinLock(&BusLock, Irql);
    ExFreePoolWithTag(Item, TESTBUS_TAG);
    CompleteUrb(Irp, USBD_STATUS_CANCELED, 0);
    return;
  }
  RtlZeroMemory(Unlink, sizeof(*Unlink));
  Unlink->Child = Item->Child;
  Unlink->Work.Kind = TESTBUS_WORK_UNLINK;
  Unlink->Work.Sequence = InterlockedIncrement(reinterpret_cast<LONG*>(&NextSequence));
  Unlink->Work.UnlinkSequence = Item->Work.Sequence;
  Dispatch(Unlink);
}

PVOID BufferOf(PVOID Buffer, PMDL Mdl) {
  if (Buffer || !Mdl) return Buffer;
  return MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
}

// Sends a transfer for a URB: queued for the relay, the IRP pending and cancellable.
NTSTATUS SubmitTransfer(CHILD_EXTENSION* Child, PIRP Irp, ULONG Endpoint, BOOLEAN In,
                        const UCHAR* Setup, PVOID Buffer, ULONG Length) {
  if (Length > TESTBUS_MAX_TRANSFER || (Length && !Buffer)) {
    CompleteUrb(Irp, USBD_STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  WORK_ITEM* Item =
      static_cast<WORK_ITEM*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_ITEM), TESTBUS_TAG));
  if (!Item) {
    CompleteUrb(Irp, USBD_STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Item, sizeof(*Item));
  InitializeListHead(&Item->Link);
  Item->Irp = Irp;
  Item->Child = Child->Number;
  Item->Buffer = static_cast<PUCHAR>(Buffer);
  Item->Work.Kind = TESTBUS_WORK_SUBMIT;
  Item->Work.Sequence = InterlockedIncrement(reinterpret_cast<LONG*>(&NextSequence));
  Item->Work.Endpoint = Endpoint & 0x0F;
  Item->Work.DirectionIn = In ? 1 : 0;
  Item->Work.Length = Length;
  if (Setup) RtlCopyMemory(Item->Work.Setup, Setup, 8);
  Irp->Tail.Overlay.DriverContext[0] = Item;
  IoMarkIrpPending(Irp);
  Dispatch(Item);
  return STATUS_PENDING;
}

NTSTATUS SubmitControl(CHILD_EXTENSION* Child, PIRP Irp, UCHAR RequestType, UCHAR Request,
                       USHORT Value, USHORT Index, PVOID Buffer, ULONG Length) {
  UCHAR Setup[8] = {RequestType,
                    Request,
                    static_cast<UCHAR>(Value & 0xFF),
                    static_cast<UCHAR>(Value >> 8),
                    static_cast<UCHAR>(Index & 0xFF),
                    static_cast<UCHAR>(Index >> 8),
                    static_cast<UCHAR>(Length & 0xFF),
                    static_cast<UCHAR>(Length >> 8)};
  return SubmitTransfer(Child, Irp, 0, (RequestType & 0x80) != 0, Setup, Buffer, Length);
}

// Opaque handles: a pipe's is its endpoint address with a mark.
USBD_PIPE_HANDLE PipeHandleOf(UCHAR EndpointAddress) {
  return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x7E500 | EndpointAddress));
}
BOOLEAN EndpointOfPipe(USBD_PIPE_HANDLE Handle, UCHAR* EndpointAddress) {
  ULONG_PTR Value = reinterpret_cast<ULONG_PTR>(Handle);
  if ((Value & ~static_cast<ULONG_PTR>(0xFF)) != 0x7E500) return FALSE;
  *EndpointAddress = static_cast<UCHAR>(Value & 0xFF);
  return TRUE;
}

// Fills an interface's pipes from the configuration descriptor. FALSE when the descriptor has
// no such interface setting, or the caller's record has no room for its pipes.
BOOLEAN FillInterface(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                      PUSBD_INTERFACE_INFORMATION Interface) {
  PUSB_INTERFACE_DESCRIPTOR Descriptor = NULL;
  PUCHAR End = reinterpret_cast<PUCHAR>(Configuration) + Configuration->wTotalLength;
  for (PUCHAR At = reinterpret_cast<PUCHAR>(Configuration); At + 2 <= End && At[0] >= 2;
       At += At[0]) {
    auto* Candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(At);
    if (Candidate->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        At + sizeof(USB_INTERFACE_DESCRIPTOR) <= End &&
        Candidate->bInterfaceNumber == Interface->InterfaceNumber &&
        Candidate->bAlternateSetting == Interface->AlternateSetting) {
      Descriptor = Candidate;
      break;
    }
  }
  if (!Descriptor) return FALSE;
  ULONG Room = (Interface->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
               sizeof(USBD_PIPE_INFORMATION);
  if (Descriptor->bNumEndpoints > Room) return FALSE;
  Interface->Class = Descriptor->bInterfaceClass;
  Interface->SubClass = Descriptor->bInterfaceSubClass;
  Interface->Protocol = Descriptor->bInterfaceProtocol;
  Interface->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
      static_cast<ULONG_PTR>(0x7E100 | Descriptor->bInterfaceNumber));
  Interface->NumberOfPipes = Descriptor->bNumEndpoints;
  PUCHAR Next = reinterpret_cast<PUCHAR>(Descriptor) + Descriptor->bLength;
  for (ULONG Pipe = 0; Pipe < Descriptor->bNumEndpoints; ++Pipe) {
    PUSB_ENDPOINT_DESCRIPTOR Endpoint = NULL;
    while (Next + 2 <= End && Next[0] >= 2) {
      PUSB_COMMON_DESCRIPTOR Common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(Next);
      Next += Common->bLength;
      if (Common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
        Endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(Common);
        break;
      }
    }
    if (!Endpoint) return FALSE;
    USBD_PIPE_INFORMATION* Info = &Interface->Pipes[Pipe];
    Info->MaximumPacketSize = Endpoint->wMaxPacketSize;
    Info->EndpointAddress = Endpoint->bEndpointAddress;
    Info->Interval = Endpoint->bInterval;
    Info->PipeType = static_cast<USBD_PIPE_TYPE>(Endpoint->bmAttributes & 3);
    Info->PipeHandle = PipeHandleOf(Endpoint->bEndpointAddress);
    if (Info->MaximumTransferSize == 0) Info->MaximumTransferSize = TESTBUS_MAX_TRANSFER;
  }
  return TRUE;
}

NTSTATUS SelectConfiguration(CHILD_EXTENSION* Child, PIRP Irp, PURB Urb) {
  auto* Select = &Urb->UrbSelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR Configuration = Select->ConfigurationDescriptor;
  if (!Configuration)  // unconfigure
    return SubmitControl(Child, Irp, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, NULL, 0);
  ULONG Length = Configuration->wTotalLength;
  PUCHAR Copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Length, TESTBUS_TAG));
  if (!Copy) {
    CompleteUrb(Irp, USBD_STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Copy, Configuration, Length);
  PUCHAR UrbEnd = reinterpret_cast<PUCHAR>(Urb) + Urb->UrbHeader.Length;
  PUSBD_INTERFACE_INFORMATION Interface = &Select->Interface;
  for (ULONG Count = 0; Count < Configuration->bNumInterfaces; ++Count) {
    if (reinterpret_cast<PUCHAR>(Interface) + sizeof(USBD_INTERFACE_INFORMATION) > UrbEnd ||
        !FillInterface(Configuration, Interface)) {
      ExFreePoolWithTag(Copy, TESTBUS_TAG);
      CompleteUrb(Irp, USBD_STATUS_INVALID_PARAMETER, 0);
      return STATUS_INVALID_PARAMETER;
    }
    Interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(Interface) +
                                                              Interface->Length);
  }
  Select->ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
      static_cast<ULONG_PTR>(0x7EC00 | Configuration->bConfigurationValue));
  KIRQL Irql;
  KeAcquireSpinLock(&BusLock, &Irql);
  PUCHAR Old = Child->Configuration;
  Child->Configuration = Copy;
  Child->ConfigurationLength = Length;
  KeReleaseSpinLock(&BusLock, Irql);
  if (Old) ExFreePoolWithTag(Old, TESTBUS_TAG);
  return SubmitControl(Child, Irp, 0x00, USB_REQUEST_SET_CONFIGURATION,
                       Configuration->bConfigurationValue, 0, NULL, 0);
}

NTSTATUS SelectInterface(CHILD_EXTENSION* Child, PIRP Irp, PURB Urb) {
  PUSBD_INTERFACE_INFORMATION Interface = &Urb->UrbSelectInterface.Interface;
  // The descriptor copy is replaced only by another selection on the same device, which its
  // driver does not send at the same time.
  if (!Child->Configuration ||
      !FillInterface(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Child->Configuration),
                     Interface)) {
    CompleteUrb(Irp, USBD_STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  return SubmitControl(Child, Irp, 0x01, USB_REQUEST_SET_INTERFACE, Interface->AlternateSetting,
                       Interface->InterfaceNumber, NULL, 0);
}

// Takes back every transfer of one endpoint (ABORT_PIPE): queued ones are completed here, those
// in flight are completed and unlinked as a cancel would.
void AbortEndpoint(CHILD_EXTENSION* Child, UCHAR EndpointAddress) {
  for (;;) {
    PIRP Victim = NULL;
    KIRQL Irql;
    KeAcquireSpinLock(&BusLock, &Irql);
    LIST_ENTRY* Lists[2] = {&Queued[Child->Number], &InFlight};
    for (ULONG List = 0; List < 2 && !Victim; ++List)
      for (PLIST_ENTRY Entry = Lists[List]->Flink; Entry != Lists[List]; Entry = Entry->Flink) {
        WORK_ITEM* Item = CONTAINING_RECORD(Entry, WORK_ITEM, Link);
        if (Item->Irp && Item->Child == Child->Number &&
            Item->Work.Endpoint == static_cast<ULONG>(EndpointAddress & 0x0F) &&
            Item->Work.DirectionIn == ((EndpointAddress & 0x80) ? 1u : 0u) && !Item->Unlinking &&
            IoSetCancelRoutine(Item->Irp, NULL)) {
          Victim = Item->Irp;
          break;
        }
      }
    KeReleaseSpinLock(&BusLock, Irql);
    if (!Victim) return;
    // Run the cancel routine's work as if the system had cancelled it.
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    Victim->CancelIrql = CancelIrql;
    CancelUrb(NULL, Victim);
  }
}

NTSTATUS SubmitUrb(CHILD_EXTENSION* Child, PIRP Irp) {
  PURB Urb = UrbOf(Irp);
  if (!Urb) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  if (Child->Gone) {
    CompleteUrb(Irp, USBD_STATUS_DEVICE_GONE, 0);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  USHORT Function = Urb->UrbHeader.Function;
  switch (Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(Child, Irp, Urb);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SelectInterface(Child, Irp, Urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto* Request = &Urb->UrbControlDescriptorRequest;
      return SubmitControl(Child, Irp, 0x80, USB_REQUEST_GET_DESCRIPTOR,
                           static_cast<USHORT>((Request->DescriptorType << 8) | Request->Index),
                           Request->LanguageId,
                           BufferOf(Request->TransferBuffer, Request->TransferBufferMDL),
                           Request->TransferBufferLength);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto* Request = &Urb->UrbControlVendorClassRequest;
      BOOLEAN Vendor =
          Function == URB_FUNCTION_VENDOR_DEVICE || Function == URB_FUNCTION_VENDOR_INTERFACE ||
          Function == URB_FUNCTION_VENDOR_ENDPOINT || Function == URB_FUNCTION_VENDOR_OTHER;
      UCHAR Recipient = 0;
      if (Function == URB_FUNCTION_VENDOR_INTERFACE || Function == URB_FUNCTION_CLASS_INTERFACE)
        Recipient = 1;
      else if (Function == URB_FUNCTION_VENDOR_ENDPOINT || Function == URB_FUNCTION_CLASS_ENDPOINT)
        Recipient = 2;
      else if (Function == URB_FUNCTION_VENDOR_OTHER || Function == URB_FUNCTION_CLASS_OTHER)
        Recipient = 3;
      UCHAR Type =
          static_cast<UCHAR>(((Request->TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) |
                             (Vendor ? 0x40 : 0x20) | Recipient | Request->RequestTypeReservedBits);
      return SubmitControl(Child, Irp, Type, Request->Request, Request->Value, Request->Index,
                           BufferOf(Request->TransferBuffer, Request->TransferBufferMDL),
                           Request->TransferBufferLength);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto* Request = &Urb->UrbControlTransfer;
      return SubmitTransfer(Child, Irp, 0, (Request->SetupPacket[0] & 0x80) != 0,
                            Request->SetupPacket,
                            BufferOf(Request->TransferBuffer, Request->TransferBufferMDL),
                            Request->TransferBufferLength);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto* Request = &Urb->UrbBulkOrInterruptTransfer;
      UCHAR Address;
      if (!EndpointOfPipe(Request->PipeHandle, &Address)) {
        CompleteUrb(Irp, USBD_STATUS_INVALID_PIPE_HANDLE, 0);
        return STATUS_INVALID_PARAMETER;
      }
      return SubmitTransfer(Child, Irp, Address, (Address & 0x80) != 0, NULL,
                            BufferOf(Request->TransferBuffer, Request->TransferBufferMDL),
                            Request->TransferBufferLength);
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      UCHAR Address;
      if (!EndpointOfPipe(Urb->UrbPipeRequest.PipeHandle, &Address)) {
        CompleteUrb(Irp, USBD_STATUS_INVALID_PIPE_HANDLE, 0);
        return STATUS_INVALID_PARAMETER;
      }
      AbortEndpoint(Child, Address);
      if (Function == URB_FUNCTION_ABORT_PIPE || Function == URB_FUNCTION_SYNC_RESET_PIPE) {
        CompleteUrb(Irp, USBD_STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
      }
      // CLEAR_FEATURE(ENDPOINT_HALT) on the endpoint: the USB/IP server clears the halt.
      return SubmitControl(Child, Irp, 0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL,
                           Address, NULL, 0);
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      Urb->UrbGetCurrentFrameNumber.FrameNumber = 0;
      CompleteUrb(Irp, USBD_STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    default:
      DbgPrint(TESTBUS_PREFIX "URB function %#x not carried\n", Function);
      CompleteUrb(Irp, USBD_STATUS_INVALID_URB_FUNCTION, 0);
      return STATUS_NOT_SUPPORTED;
  }
}

// ---- the relay's requests ----

NTSTATUS Plug(PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(TESTBUS_PLUG) ||
      Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  if (!BusFdo) return CompleteRequest(Irp, STATUS_DEVICE_NOT_READY, 0);
  TESTBUS_PLUG Identity = *static_cast<TESTBUS_PLUG*>(Irp->AssociatedIrp.SystemBuffer);
  PDEVICE_OBJECT Device;
  NTSTATUS Status = IoCreateDevice(BusFdo->DriverObject, sizeof(CHILD_EXTENSION), NULL,
                                   FILE_DEVICE_USB, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &Device);
  if (!NT_SUCCESS(Status)) return CompleteRequest(Irp, Status, 0);
  CHILD_EXTENSION* Child = static_cast<CHILD_EXTENSION*>(Device->DeviceExtension);
  RtlZeroMemory(Child, sizeof(*Child));
  Child->Common.Kind = KindChild;
  Child->Identity = Identity;
  Child->Present = TRUE;
  Device->Flags &= ~DO_DEVICE_INITIALIZING;
  KIRQL Irql;
  ULONG Number = TESTBUS_MAX_CHILDREN;
  KeAcquireSpinLock(&BusLock, &Irql);
  for (ULONG Slot = 0; Slot < TESTBUS_MAX_CHILDREN; ++Slot)
    if (!ChildDevices[Slot]) {
      Number = Slot;
      Child->Number = Slot;
      Children[Slot] = Child;
      ChildDevices[Slot] = Device;
      break;
    }
  KeReleaseSpinLock(&BusLock, Irql);
  if (Number == TESTBUS_MAX_CHILDREN) {
    IoDeleteDevice(Device);
    return CompleteRequest(Irp, STATUS_TOO_MANY_NODES, 0);
  }
  DbgPrint(TESTBUS_PREFIX "child %lu plugged in: USB\\VID_%04X&PID_%04X\n", Number,
           Identity.VendorId, Identity.ProductId);
  *static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer) = Number;
  CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
  IoInvalidateDeviceRelations(static_cast<BUS_EXTENSION*>(BusFdo->DeviceExtension)->Pdo,
                              BusRelations);
  return STATUS_SUCCESS;
}

// Fails every transfer of a child that is gone, queued or in flight.
void FailTransfers(ULONG Number) {
  for (;;) {
    WORK_ITEM* Victim = NULL;
    KIRQL Irql;
    KeAcquireSpinLock(&BusLock, &Irql);
    LIST_ENTRY* Lists[2] = {&Queued[Number], &InFlight};
    for (ULONG List = 0; List < 2 && !Victim; ++List)
      for (PLIST_ENTRY Entry = Lists[List]->Flink; Entry != Lists[List]; Entry = Entry->Flink) {
        WORK_ITEM* Item = CONTAINING_RECORD(Entry, WORK_ITEM, Link);
        if (Item->Child != Number) continue;
        // One whose cancel routine is about to run is that routine's to complete.
        if (Item->Irp && !Item->Unlinking && !IoSetCancelRoutine(Item->Irp, NULL)) continue;
        RemoveEntryList(Entry);
        InitializeListHead(Entry);
        Victim = Item;
        break;
      }
    KeReleaseSpinLock(&BusLock, Irql);
    if (!Victim) return;
    if (Victim->Irp) CompleteUrb(Victim->Irp, USBD_STATUS_DEVICE_GONE, 0);
    ExFreePoolWithTag(Victim, TESTBUS_TAG);
  }
}

NTSTATUS Unplug(PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  ULONG Number = *static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer);
  KIRQL Irql;
  BOOLEAN Found = FALSE;
  KeAcquireSpinLock(&BusLock, &Irql);
  if (Number < TESTBUS_MAX_CHILDREN && Children[Number] && Children[Number]->Present) {
    Children[Number]->Present = FALSE;
    Children[Number]->Gone = TRUE;
    Found = TRUE;
  }
  KeReleaseSpinLock(&BusLock, Irql);
  if (!Found) return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, 0);
  DbgPrint(TESTBUS_PREFIX "child %lu unplugged\n", Number);
  FailTransfers(Number);
  CompleteRequest(Irp, STATUS_SUCCESS, 0);
  IoInvalidateDeviceRelations(static_cast<BUS_EXTENSION*>(BusFdo->DeviceExtension)->Pdo,
                              BusRelations);
  return STATUS_SUCCESS;
}

NTSTATUS Fetch(PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
      Stack->Parameters.DeviceIoControl.OutputBufferLength <
          sizeof(TESTBUS_WORK) + TESTBUS_MAX_TRANSFER)
    return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  ULONG Number = *static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer);
  if (Number >= TESTBUS_MAX_CHILDREN) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL Irql;
  KeAcquireSpinLock(&BusLock, &Irql);
  if (!IsListEmpty(&Queued[Number])) {
    WORK_ITEM* Item = CONTAINING_RECORD(Queued[Number].Flink, WORK_ITEM, Link);
    RemoveEntryList(&Item->Link);
    InitializeListHead(&Item->Link);
    ULONG Size = FillFetch(Irp, Item);
    if (Item->Irp) InsertTailList(&InFlight, &Item->Link);
    KeReleaseSpinLock(&BusLock, Irql);
    if (!Item->Irp) ExFreePoolWithTag(Item, TESTBUS_TAG);
    return CompleteRequest(Irp, STATUS_SUCCESS, Size);
  }
  IoMarkIrpPending(Irp);
  InsertTailList(&Fetches[Number], &Irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(Irp, CancelFetch);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL)) {
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&BusLock, Irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&BusLock, Irql);
  return STATUS_PENDING;
}

// A transfer's outcome from the relay: TESTBUS_DONE and, for an IN transfer, the data.
void TakeAnswer(PUCHAR In, ULONG InLength) {
  TESTBUS_DONE Done = *reinterpret_cast<TESTBUS_DONE*>(In);
  WORK_ITEM* Found = NULL;
  KIRQL Irql;
  KeAcquireSpinLock(&BusLock, &Irql);
  for (PLIST_ENTRY Entry = InFlight.Flink; Entry != &InFlight; Entry = Entry->Flink) {
    WORK_ITEM* Item = CONTAINING_RECORD(Entry, WORK_ITEM, Link);
    if (Item->Work.Sequence != Done.Sequence || Item->Answered) continue;
    ULONG Actual = Done.ActualLength;
    if (Actual > Item->Work.Length) Actual = Item->Work.Length;
    if (!Item->Work.DirectionIn) Actual = Done.Status ? 0 : Actual;
    if (Item->Work.DirectionIn) {
      if (Actual > InLength - sizeof(TESTBUS_DONE)) Actual = InLength - sizeof(TESTBUS_DONE);
      if (Actual) RtlCopyMemory(Item->Buffer, In + sizeof(TESTBUS_DONE), Actual);
    }
    if (Item->Unlinking || IoSetCancelRoutine(Item->Irp, NULL)) {
      RemoveEntryList(Entry);
      InitializeListHead(Entry);
      Item->AnswerStatus = UsbdStatusOf(Done.Status);
      Item->AnswerLength = Actual;
      Found = Item;
    } else {
      // Its cancel routine is about to run: it completes the transfer with this answer.
      Item->Answered = TRUE;
      Item->AnswerStatus = UsbdStatusOf(Done.Status);
      Item->AnswerLength = Actual;
    }
    break;
  }
  KeReleaseSpinLock(&BusLock, Irql);
  // An answer to a transfer no longer in flight (failed at an unplug) is dropped.
  if (Found) {
    CompleteUrb(Found->Irp, Found->AnswerStatus, Found->AnswerLength);
    ExFreePoolWithTag(Found, TESTBUS_TAG);
  }
}

NTSTATUS Complete(PIRP Irp, PIO_STACK_LOCATION Stack) {
  ULONG InLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
  if (InLength < sizeof(TESTBUS_DONE)) return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  TakeAnswer(static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer), InLength);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// ---- the relay's pipes ----
// Wine's fault: one thread of winedevice (its request loop) dispatches every request to every
// driver of the process, one after the other. A function driver that waits in a dispatch routine
// (a reader request waiting for the link that the bring-up holds, while the bring-up waits for a
// transfer) keeps the relay's fetch and complete requests from being dispatched, and the transfer
// it waits on never completes. On Windows the host controller completes transfers from its DPC,
// not through a dispatch routine. So each child's transfers go to the relay and their outcomes
// come back through two named pipes that the relay makes, each served by a system thread of the
// bus's own: nothing between a transfer and its answer waits for a request to be dispatched.

// Opens the relay's pipe \??\pipe\zarq7-testbus-N-work or -done for the child.
HANDLE OpenRelayPipe(ULONG Number, BOOLEAN Work, ACCESS_MASK Access) {
  WCHAR Name[] = L"\\??\\pipe\\zarq7-testbus-0-done";
  const ULONG Digit = 23;  // where N stands
  Name[Digit] = static_cast<WCHAR>(L'0' + Number);
  if (Work) RtlCopyMemory(&Name[Digit + 2], L"work", 4 * sizeof(WCHAR));
  UNICODE_STRING Path;
  RtlInitUnicodeString(&Path, Name);
  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, &Path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                             NULL);
  HANDLE Pipe = NULL;
  IO_STATUS_BLOCK Io;
  NTSTATUS Status = ZwCreateFile(&Pipe, Access | SYNCHRONIZE, &Attributes, &Io, NULL, 0, 0,
                                 FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (!NT_SUCCESS(Status)) {
    DbgPrint(TESTBUS_PREFIX "child %lu: the relay's pipe does not open: %08lX\n", Number,
             static_cast<ULONG>(Status));
    return NULL;
  }
  return Pipe;
}

void EndPumps(ULONG Number) {
  InterlockedExchange(&PumpsEnding[Number], 1);
  KeSetEvent(&WorkReady[Number], IO_NO_INCREMENT, FALSE);
}

// Hands the child's queued work to the relay as it comes.
VOID NTAPI WorkPump(PVOID Context) {
  ULONG Number = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Context));
  HANDLE Pipe = OpenRelayPipe(Number, TRUE, GENERIC_WRITE);
  PUCHAR Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(
      NonPagedPool, sizeof(TESTBUS_WORK) + TESTBUS_MAX_TRANSFER, TESTBUS_TAG));
  while (Pipe && Buffer && !PumpsEnding[Number]) {
    KeWaitForSingleObject(&WorkReady[Number], Executive, KernelMode, FALSE, NULL);
    for (;;) {
      KIRQL Irql;
      KeAcquireSpinLock(&BusLock, &Irql);
      if (PumpsEnding[Number] || IsListEmpty(&Queued[Number])) {
        KeReleaseSpinLock(&BusLock, Irql);
        break;
      }
      WORK_ITEM* Item = CONTAINING_RECORD(Queued[Number].Flink, WORK_ITEM, Link);
      RemoveEntryList(&Item->Link);
      InitializeListHead(&Item->Link);
      ULONG Size = FillWork(Buffer, Item);
      if (Item->Irp) InsertTailList(&InFlight, &Item->Link);
      KeReleaseSpinLock(&BusLock, Irql);
      if (!Item->Irp) ExFreePoolWithTag(Item, TESTBUS_TAG);
      IO_STATUS_BLOCK Io;
      if (!NT_SUCCESS(ZwWriteFile(Pipe, NULL, NULL, NULL, &Io, Buffer, Size, NULL, NULL))) {
        EndPumps(Number);
        break;
      }
    }
  }
  EndPumps(Number);
  if (Buffer) ExFreePoolWithTag(Buffer, TESTBUS_TAG);
  if (Pipe) ZwClose(Pipe);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

BOOLEAN ReadPipe(HANDLE Pipe, PUCHAR Buffer, ULONG Length) {
  while (Length) {
    IO_STATUS_BLOCK Io;
    if (!NT_SUCCESS(ZwReadFile(Pipe, NULL, NULL, NULL, &Io, Buffer, Length, NULL, NULL)) ||
        Io.Information == 0 || Io.Information > Length)
      return FALSE;
    Buffer += Io.Information;
    Length -= static_cast<ULONG>(Io.Information);
  }
  return TRUE;
}

// Takes the outcomes the relay sends for the child's transfers: each a ULONG length, then that
// many bytes of TESTBUS_DONE and data.
VOID NTAPI AnswerPump(PVOID Context) {
  ULONG Number = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Context));
  HANDLE Pipe = OpenRelayPipe(Number, FALSE, GENERIC_READ);
  PUCHAR Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(
      NonPagedPool, sizeof(TESTBUS_DONE) + TESTBUS_MAX_TRANSFER, TESTBUS_TAG));
  ULONG Length;
  while (Pipe && Buffer && ReadPipe(Pipe, reinterpret_cast<PUCHAR>(&Length), sizeof(Length)) &&
         Length >= sizeof(TESTBUS_DONE) && Length <= sizeof(TESTBUS_DONE) + TESTBUS_MAX_TRANSFER &&
         ReadPipe(Pipe, Buffer, Length))
    TakeAnswer(Buffer, Length);
  EndPumps(Number);
  if (Buffer) ExFreePoolWithTag(Buffer, TESTBUS_TAG);
  if (Pipe) ZwClose(Pipe);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// The relay has made the child's pipes: the pumps start.
NTSTATUS AttachPipes(PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  ULONG Number = *static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer);
  if (Number >= TESTBUS_MAX_CHILDREN) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  InterlockedExchange(&PumpsEnding[Number], 0);
  KeSetEvent(&WorkReady[Number], IO_NO_INCREMENT, FALSE);  // what was queued before
  PKSTART_ROUTINE Pumps[2] = {WorkPump, AnswerPump};
  for (ULONG Index = 0; Index < 2; ++Index) {
    HANDLE Thread;
    NTSTATUS Status =
        PsCreateSystemThread(&Thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Pumps[Index],
                             reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Number)));
    if (!NT_SUCCESS(Status)) {
      EndPumps(Number);
      return CompleteRequest(Irp, Status, 0);
    }
    ZwClose(Thread);
  }
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS ControlDeviceControl(PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TESTBUS_PLUG:
      return Plug(Irp, Stack);
    case IOCTL_TESTBUS_UNPLUG:
      return Unplug(Irp, Stack);
    case IOCTL_TESTBUS_FETCH:
      return Fetch(Irp, Stack);
    case IOCTL_TESTBUS_COMPLETE:
      return Complete(Irp, Stack);
    case IOCTL_TESTBUS_ATTACH_PIPES:
      return AttachPipes(Irp, Stack);
    default:
      return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// ---- Plug and Play ----

WCHAR* PoolString(const WCHAR* Text, ULONG Characters) {
  WCHAR* Copy = static_cast<WCHAR*>(
      ExAllocatePoolWithTag(PagedPool, Characters * sizeof(WCHAR), TESTBUS_TAG));
  if (Copy) RtlCopyMemory(Copy, Text, Characters * sizeof(WCHAR));
  return Copy;
}

// Formats "USB\VID_xxxx&PID_xxxx" and the like into Buffer: a tiny printf of our own, so that
// the bus imports nothing beyond the kernel's basics.
ULONG AppendText(WCHAR* Buffer, ULONG At, const char* Text) {
  while (*Text) Buffer[At++] = static_cast<WCHAR>(*Text++);
  return At;
}
ULONG AppendHex(WCHAR* Buffer, ULONG At, ULONG Value, ULONG Digits) {
  for (ULONG Digit = Digits; Digit-- > 0;)
    Buffer[At++] = L"0123456789ABCDEF"[(Value >> (Digit * 4)) & 15];
  return At;
}

NTSTATUS ChildQueryId(CHILD_EXTENSION* Child, PIRP Irp, BUS_QUERY_ID_TYPE Type) {
  WCHAR Text[160];
  ULONG At = 0;
  switch (Type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
      if (Type == BusQueryHardwareIDs) {
        At = AppendText(Text, At, "USB\\VID_");
        At = AppendHex(Text, At, Child->Identity.VendorId, 4);
        At = AppendText(Text, At, "&PID_");
        At = AppendHex(Text, At, Child->Identity.ProductId, 4);
        At = AppendText(Text, At, "&REV_");
        At = AppendHex(Text, At, Child->Identity.DeviceRelease, 4);
        Text[At++] = 0;
      }
      At = AppendText(Text, At, "USB\\VID_");
      At = AppendHex(Text, At, Child->Identity.VendorId, 4);
      At = AppendText(Text, At, "&PID_");
      At = AppendHex(Text, At, Child->Identity.ProductId, 4);
      Text[At++] = 0;
      if (Type == BusQueryHardwareIDs) Text[At++] = 0;
      break;
    case BusQueryCompatibleIDs:
      At = AppendText(Text, At, "USB\\Class_");
      At = AppendHex(Text, At, Child->Identity.DeviceClass, 2);
      Text[At++] = 0;
      Text[At++] = 0;
      break;
    case BusQueryInstanceID:
      At = AppendText(Text, At, "ZARQ7TESTBUS");
      At = AppendHex(Text, At, Child->Number, 1);
      Text[At++] = 0;
      break;
    default:
      return CompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  }
  WCHAR* Copy = PoolString(Text, At);
  if (!Copy) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  return CompleteRequest(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(Copy));
}

void DeleteChild(PDEVICE_OBJECT Device) {
  CHILD_EXTENSION* Child = static_cast<CHILD_EXTENSION*>(Device->DeviceExtension);
  KIRQL Irql;
  KeAcquireSpinLock(&BusLock, &Irql);
  if (ChildDevices[Child->Number] == Device) {
    ChildDevices[Child->Number] = NULL;
    Children[Child->Number] = NULL;
  }
  KeReleaseSpinLock(&BusLock, Irql);
  if (Child->Configuration) ExFreePoolWithTag(Child->Configuration, TESTBUS_TAG);
  DbgPrint(TESTBUS_PREFIX "child %lu deleted\n", Child->Number);
  IoDeleteDevice(Device);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  CHILD_EXTENSION* Child = static_cast<CHILD_EXTENSION*>(Device->DeviceExtension);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      DbgPrint(TESTBUS_PREFIX "child %lu started\n", Child->Number);
      return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
      DbgPrint(TESTBUS_PREFIX "child %lu surprise removal\n", Child->Number);
      Child->Gone = TRUE;
      FailTransfers(Child->Number);
      return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
      DbgPrint(TESTBUS_PREFIX "child %lu remove\n", Child->Number);
      FailTransfers(Child->Number);
      KIRQL Irql;
      KeAcquireSpinLock(&BusLock, &Irql);
      BOOLEAN StillThere = Child->Present;
      KeReleaseSpinLock(&BusLock, Irql);
      CompleteRequest(Irp, STATUS_SUCCESS, 0);
      // A child still plugged in stays for the next function driver; a gone one goes.
      if (!StillThere) DeleteChild(Device);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
      return ChildQueryId(Child, Irp, Stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_DEVICE_TEXT: {
      if (Stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) break;
      static const WCHAR Description[] = L"Zarq7 test bus: imported converter";
      WCHAR* Copy = PoolString(Description, sizeof(Description) / sizeof(WCHAR));
      if (!Copy) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      return CompleteRequest(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(Copy));
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES Capabilities = Stack->Parameters.DeviceCapabilities.Capabilities;
      Capabilities->Removable = TRUE;
      Capabilities->SurpriseRemovalOK = TRUE;
      Capabilities->UniqueID = FALSE;
      Capabilities->Address = Child->Number + 1;
      Capabilities->UINumber = Child->Number;
      Capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int State = PowerSystemSleeping1; State < PowerSystemMaximum; ++State)
        Capabilities->DeviceState[State] = PowerDeviceD3;
      Capabilities->DeviceD2 = FALSE;
      Capabilities->DeviceWake = PowerDeviceUnspecified;
      Capabilities->SystemWake = PowerSystemUnspecified;
      return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (Stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS Relations = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TESTBUS_TAG));
        if (!Relations) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        Relations->Count = 1;
        Relations->Objects[0] = Device;
        ObReferenceObject(Device);
        return CompleteRequest(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(Relations));
      }
      break;
    default:
      break;
  }
  return CompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

NTSTATUS NTAPI SignalStarted(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BusPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  BUS_EXTENSION* Bus = static_cast<BUS_EXTENSION*>(Device->DeviceExtension);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT Started;
      KeInitializeEvent(&Started, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, SignalStarted, &Started, TRUE, TRUE, TRUE);
      if (IoCallDriver(Bus->Lower, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&Started, Executive, KernelMode, FALSE, NULL);
      NTSTATUS Status = Irp->IoStatus.Status;
      if (Status == STATUS_NOT_SUPPORTED) Status = STATUS_SUCCESS;  // a root PDO may not answer
      DbgPrint(TESTBUS_PREFIX "bus started: %#lx\n", Status);
      return CompleteRequest(Irp, Status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (Stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      PDEVICE_RELATIONS Relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
          PagedPool, sizeof(DEVICE_RELATIONS) + TESTBUS_MAX_CHILDREN * sizeof(PDEVICE_OBJECT),
          TESTBUS_TAG));
      if (!Relations) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      Relations->Count = 0;
      KIRQL Irql;
      KeAcquireSpinLock(&BusLock, &Irql);
      for (ULONG Slot = 0; Slot < TESTBUS_MAX_CHILDREN; ++Slot)
        if (Children[Slot] && Children[Slot]->Present) {
          Relations->Objects[Relations->Count++] = ChildDevices[Slot];
          ObReferenceObject(ChildDevices[Slot]);
          Children[Slot]->Reported = TRUE;
        }
      KeReleaseSpinLock(&BusLock, Irql);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Relations);
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(Bus->Lower, Irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      NTSTATUS Status = IoCallDriver(Bus->Lower, Irp);
      IoDetachDevice(Bus->Lower);
      BusFdo = NULL;
      IoDeleteDevice(Device);
      return Status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Bus->Lower, Irp);
}

// ---- dispatch ----

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT Device, PIRP Irp) {
  auto* Common = static_cast<COMMON_EXTENSION*>(Device->DeviceExtension);
  if (Common->Kind == KindBus) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(static_cast<BUS_EXTENSION*>(Device->DeviceExtension)->Lower, Irp);
  }
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
  auto* Common = static_cast<COMMON_EXTENSION*>(Device->DeviceExtension);
  if (Common->Kind == KindControl) return ControlDeviceControl(Irp);
  if (Common->Kind == KindBus) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(static_cast<BUS_EXTENSION*>(Device->DeviceExtension)->Lower, Irp);
  }
  return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
  auto* Common = static_cast<COMMON_EXTENSION*>(Device->DeviceExtension);
  if (Common->Kind != KindChild) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  CHILD_EXTENSION* Child = static_cast<CHILD_EXTENSION*>(Device->DeviceExtension);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(Child, Irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      ULONG* PortStatus = static_cast<ULONG*>(Stack->Parameters.Others.Argument1);
      if (PortStatus) *PortStatus = Child->Gone ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
      return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return CompleteRequest(Irp, Child->Gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS, 0);
    default:
      return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
  }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  auto* Common = static_cast<COMMON_EXTENSION*>(Device->DeviceExtension);
  if (Common->Kind == KindBus) return BusPnp(Device, Irp);
  if (Common->Kind == KindChild) return ChildPnp(Device, Irp);
  return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
  auto* Common = static_cast<COMMON_EXTENSION*>(Device->DeviceExtension);
  PoStartNextPowerIrp(Irp);
  if (Common->Kind == KindBus) {
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(static_cast<BUS_EXTENSION*>(Device->DeviceExtension)->Lower, Irp);
  }
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  if (BusFdo) return STATUS_DEVICE_ALREADY_ATTACHED;  // one bus
  PDEVICE_OBJECT Device;
  NTSTATUS Status = IoCreateDevice(Driver, sizeof(BUS_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0,
                                   FALSE, &Device);
  if (!NT_SUCCESS(Status)) return Status;
  BUS_EXTENSION* Bus = static_cast<BUS_EXTENSION*>(Device->DeviceExtension);
  Bus->Common.Kind = KindBus;
  Bus->Pdo = Pdo;
  Bus->Lower = IoAttachDeviceToDeviceStack(Device, Pdo);
  if (!Bus->Lower) {
    IoDeleteDevice(Device);
    return STATUS_NO_SUCH_DEVICE;
  }
  Device->Flags &= ~DO_DEVICE_INITIALIZING;
  BusFdo = Device;
  DbgPrint(TESTBUS_PREFIX "bus added\n");
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  UNICODE_STRING Link;
  RtlInitUnicodeString(&Link, TESTBUS_CONTROL_LINK);
  IoDeleteSymbolicLink(&Link);
  if (ControlDevice) IoDeleteDevice(ControlDevice);
}

// ---- a mend for Wine's kernel mutex (Wine's fault, mended here in the test equipment) ----
//
// Wine 8.0's ntoskrnl carries a KMUTEX on a Win32 mutex that its KeWaitForSingleObject creates
// and acquires, but its KeReleaseMutex never releases that Win32 mutex: it only counts, and
// closes the handle when nobody waits. A thread that waits while another holds the mutex
// therefore waits forever once the holder has released it (the reader driver's power-up thread
// on UsbMutex, held a moment before by the reading thread). The bus shares winedevice with the
// driver it serves, so at load it replaces Wine's KeReleaseMutex with one that also releases the
// Win32 mutex (always from the owning thread, as a kernel mutex is released). Only under Wine:
// Windows' kernel is never touched.
// Under Wine the driver runs in a user process: ntdll's routines are found through the process's
// module list (a static import of a user-mode library would make the loader treat the bus as a
// library and call its entry point as one).
typedef NTSTATUS(NTAPI* RELEASE_MUTANT)(HANDLE, PLONG);
typedef NTSTATUS(NTAPI* PROTECT_MEMORY)(HANDLE, PVOID*, PSIZE_T, ULONG, PULONG);
RELEASE_MUTANT WineReleaseMutant;

PVOID NtdllRoutine(PUCHAR Ntdll, const char* Wanted) {
  ULONG Headers = *reinterpret_cast<ULONG*>(Ntdll + 0x3C);
  ULONG ExportRva = *reinterpret_cast<ULONG*>(Ntdll + Headers + 0x88);
  if (!ExportRva) return NULL;
  PUCHAR Exports = Ntdll + ExportRva;
  ULONG Count = *reinterpret_cast<ULONG*>(Exports + 0x18);
  ULONG* Functions = reinterpret_cast<ULONG*>(Ntdll + *reinterpret_cast<ULONG*>(Exports + 0x1C));
  ULONG* Names = reinterpret_cast<ULONG*>(Ntdll + *reinterpret_cast<ULONG*>(Exports + 0x20));
  USHORT* Ordinals = reinterpret_cast<USHORT*>(Ntdll + *reinterpret_cast<ULONG*>(Exports + 0x24));
  for (ULONG Index = 0; Index < Count; ++Index) {
    const char* Name = reinterpret_cast<const char*>(Ntdll + Names[Index]);
    ULONG At = 0;
    while (Name[At] && Name[At] == Wanted[At]) ++At;
    if (Name[At] == Wanted[At]) return Ntdll + Functions[Ordinals[Index]];
  }
  return NULL;
}

// ntdll's base, from the process environment block's loader list (x64 layout).
PUCHAR FindNtdll() {
  PUCHAR Peb = reinterpret_cast<PUCHAR>(__readgsqword(0x60));
  if (!Peb) return NULL;
  PUCHAR Ldr = *reinterpret_cast<PUCHAR*>(Peb + 0x18);
  if (!Ldr) return NULL;
  PLIST_ENTRY Head = reinterpret_cast<PLIST_ENTRY>(Ldr + 0x10);
  for (PLIST_ENTRY Entry = Head->Flink; Entry && Entry != Head; Entry = Entry->Flink) {
    PUCHAR Module = reinterpret_cast<PUCHAR>(Entry);
    UNICODE_STRING* Name = reinterpret_cast<UNICODE_STRING*>(Module + 0x58);
    static const WCHAR Ntdll[] = L"ntdll.dll";
    if (Name->Length != sizeof(Ntdll) - sizeof(WCHAR)) continue;
    BOOLEAN Same = TRUE;
    for (ULONG At = 0; At < Name->Length / sizeof(WCHAR); ++At)
      if ((Name->Buffer[At] | 0x20) != Ntdll[At]) Same = FALSE;
    if (Same) return *reinterpret_cast<PUCHAR*>(Module + 0x30);
  }
  return NULL;
}

LONG NTAPI WineKeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  HANDLE Handle = Mutex->Header.WaitListHead.Blink;
  LONG Previous = InterlockedIncrement(&Mutex->Header.SignalState) - 1;
  if (Handle) WineReleaseMutant(Handle, NULL);
  return Previous;
}

// Points the kernel's export Routine at Replacement (mov rax, Replacement; jmp rax).
BOOLEAN Redirect(PROTECT_MEMORY Protect, const WCHAR* Routine, PVOID Replacement) {
  UNICODE_STRING Name;
  RtlInitUnicodeString(&Name, Routine);
  PUCHAR Target = static_cast<PUCHAR>(MmGetSystemRoutineAddress(&Name));
  if (!Target) return FALSE;
  UCHAR Jump[12] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
  ULONG_PTR Address = reinterpret_cast<ULONG_PTR>(Replacement);
  RtlCopyMemory(Jump + 2, &Address, sizeof(Address));
  ULONG Old;
  PVOID Base = Target;
  SIZE_T Size = sizeof(Jump);
  HANDLE Self = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
  if (!NT_SUCCESS(Protect(Self, &Base, &Size, PAGE_EXECUTE_READWRITE, &Old))) return FALSE;
  RtlCopyMemory(Target, Jump, sizeof(Jump));
  Protect(Self, &Base, &Size, Old, &Old);
  return TRUE;
}

// Wine's fault: its IoBuildDeviceIoControlRequest takes the input buffer as a METHOD_BUFFERED
// request's system buffer, and nothing else: a request with output only (the reader link's reads,
// which the driver sends through its own read dispatch) reaches the driver with no buffer, and
// the driver reports nothing read at once. Windows gives such a request a system buffer that
// holds the input and receives the output, which the caller then finds in its output buffer. The
// caller's output buffer serves as that buffer here when it is large enough (the input copied
// into it first); otherwise the input buffer, as Wine has it.
PIRP NTAPI WineIoBuildDeviceIoControlRequest(ULONG Code, PDEVICE_OBJECT Device, PVOID Input,
                                             ULONG InputLength, PVOID Output, ULONG OutputLength,
                                             BOOLEAN Internal, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatus) {
  if (!Device) return NULL;
  PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
  if (!Irp) return NULL;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = Internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  Next->Parameters.DeviceIoControl.IoControlCode = Code;
  Next->Parameters.DeviceIoControl.InputBufferLength = InputLength;
  Next->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
  Next->DeviceObject = NULL;
  Next->CompletionRoutine = NULL;
  switch (Code & 3) {
    case METHOD_BUFFERED:
      if (Output && OutputLength && OutputLength >= InputLength) {
        if (Input && InputLength && Input != Output) RtlMoveMemory(Output, Input, InputLength);
        Irp->AssociatedIrp.SystemBuffer = Output;
      } else {
        Irp->AssociatedIrp.SystemBuffer = Input;
      }
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
      Irp->AssociatedIrp.SystemBuffer = Input;
      PMDL Mdl = IoAllocateMdl(Output, OutputLength, FALSE, FALSE, Irp);
      if (!Mdl) {
        IoFreeIrp(Irp);
        return NULL;
      }
      Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
      Mdl->MappedSystemVa = Output;
      break;
    }
    default:
      Next->Parameters.DeviceIoControl.Type3InputBuffer = Input;
      break;
  }
  Irp->RequestorMode = KernelMode;
  Irp->UserBuffer = Output;
  Irp->UserIosb = IoStatus;
  Irp->UserEvent = Event;
  Irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  return Irp;
}

// Under Wine only (its ntdll exports wine_get_version): the kernel routines Wine gets wrong in a
// way the driver depends on are pointed at faithful ones of the bus's own.
void MendWineKernel() {
  PUCHAR Ntdll = FindNtdll();
  if (!Ntdll || !NtdllRoutine(Ntdll, "wine_get_version")) return;
  WineReleaseMutant = reinterpret_cast<RELEASE_MUTANT>(NtdllRoutine(Ntdll, "NtReleaseMutant"));
  auto Protect = reinterpret_cast<PROTECT_MEMORY>(NtdllRoutine(Ntdll, "NtProtectVirtualMemory"));
  if (!WineReleaseMutant || !Protect) return;
  if (Redirect(Protect, L"KeReleaseMutex", reinterpret_cast<PVOID>(&WineKeReleaseMutex)))
    DbgPrint(TESTBUS_PREFIX "Wine's KeReleaseMutex mended (it never released its Win32 mutex)\n");
  if (Redirect(Protect, L"IoBuildDeviceIoControlRequest",
               reinterpret_cast<PVOID>(&WineIoBuildDeviceIoControlRequest)))
    DbgPrint(TESTBUS_PREFIX
             "Wine's IoBuildDeviceIoControlRequest mended (a buffered request's output had no "
             "buffer)\n");
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  MendWineKernel();
  KeInitializeSpinLock(&BusLock);
  InitializeListHead(&InFlight);
  for (ULONG Slot = 0; Slot < TESTBUS_MAX_CHILDREN; ++Slot) {
    InitializeListHead(&Queued[Slot]);
    InitializeListHead(&Fetches[Slot]);
    KeInitializeEvent(&WorkReady[Slot], SynchronizationEvent, FALSE);
  }
  UNICODE_STRING Name, Link;
  RtlInitUnicodeString(&Name, TESTBUS_CONTROL_NAME);
  RtlInitUnicodeString(&Link, TESTBUS_CONTROL_LINK);
  NTSTATUS Status = IoCreateDevice(Driver, sizeof(COMMON_EXTENSION), &Name, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &ControlDevice);
  if (!NT_SUCCESS(Status)) return Status;
  static_cast<COMMON_EXTENSION*>(ControlDevice->DeviceExtension)->Kind = KindControl;
  Status = IoCreateSymbolicLink(&Link, &Name);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(ControlDevice);
    return Status;
  }
  ControlDevice->Flags |= DO_BUFFERED_IO;
  ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  Driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  Driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  Driver->DriverExtension->AddDevice = AddDevice;
  Driver->DriverUnload = Unload;
  DbgPrint(TESTBUS_PREFIX "loaded\n");
  return STATUS_SUCCESS;
}
