// The pipe information record: one entry for each pipe of the pipe table.
#include "control/private_interface.h"
#include "usb/usb_transport.h"

static UCHAR PipeTypeCode(USBD_PIPE_TYPE Type) {
  switch (Type) {
    case UsbdPipeTypeBulk:
      return PIPE_INFO_TYPE_BULK;
    case UsbdPipeTypeInterrupt:
      return PIPE_INFO_TYPE_INTERRUPT;
    case UsbdPipeTypeControl:
      return PIPE_INFO_TYPE_CONTROL;
    case UsbdPipeTypeIsochronous:
      break;
  }
  return PIPE_INFO_TYPE_ISOCHRONOUS;
}

// The pipe's wide name in ANSI, cut to fit the field with its terminating zero; characters
// outside ASCII become '?'.
static void CopyPipeName(PUCHAR Field, const WCHAR* Name) {
  RtlZeroMemory(Field, PIPE_INFO_NAME_LENGTH);
  for (ULONG i = 0; i + 1 < PIPE_INFO_NAME_LENGTH && Name[i] != 0; ++i) {
    Field[i] = Name[i] < 0x80 ? (UCHAR)Name[i] : (UCHAR)'?';
  }
}

static void WriteEntry(PUCHAR Entry, const PIPE_ENTRY* Pipe) {
  const USBD_PIPE_INFORMATION* Info = Pipe->PipeInfo;
  // The reserved bytes are cleared: the system buffer would otherwise carry whatever it held
  // back to the caller.
  RtlZeroMemory(Entry, PIPE_INFO_ENTRY_LENGTH);
  Entry[PIPE_INFO_DIRECTION] = Info->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK;
  Entry[PIPE_INFO_TYPE] = PipeTypeCode(Info->PipeType);
  Entry[PIPE_INFO_ENDPOINT] = Info->EndpointAddress;
  Entry[PIPE_INFO_INTERVAL] = Info->Interval;
  SetRecordLong(Entry, PIPE_INFO_MAXIMUM_PACKET, Info->MaximumPacketSize);
  SetRecordLong(Entry, PIPE_INFO_MAXIMUM_TRANSFER, Info->MaximumTransferSize);
  CopyPipeName(Entry + PIPE_INFO_NAME, Pipe->Name);
}

// The table's entries point into InterfaceInfo, which a selection replaces under UsbMutex; a
// pending transfer of the reading thread gives way first.
NTSTATUS GetPipeInfo(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  CancelCurrentUrb(DeviceObject);
  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  ULONG Count = 0;
  for (ULONG i = 0; i < PIPE_COUNT; ++i) {
    if (Extension->Pipes[i].PipeInfo != NULL) ++Count;
  }
  ULONG Length = PIPE_INFO_HEADER_LENGTH + PIPE_INFO_ENTRY_LENGTH * Count;
  NTSTATUS Status = STATUS_BUFFER_TOO_SMALL;
  if (Request->OutputLength >= Length) {
    ULONG Written = 0;
    for (ULONG i = 0; i < PIPE_COUNT; ++i) {
      if (Extension->Pipes[i].PipeInfo == NULL) continue;
      WriteEntry(Request->Buffer + PIPE_INFO_HEADER_LENGTH + PIPE_INFO_ENTRY_LENGTH * Written,
                 &Extension->Pipes[i]);
      ++Written;
    }
    SetRecordLong(Request->Buffer, PIPE_INFO_COUNT_OFFSET, Count);
    Request->Information = Length;
    Status = STATUS_SUCCESS;
  }
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  return Status;
}
