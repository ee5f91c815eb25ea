// Selecting the converter's configuration or one of its interface settings, and the pipe table
// built from the selected interface.
#include "driver/pool_tag.h"
#include "usb/usb_transport.h"

// InterfaceSettingCount counts the interface descriptors of these interface numbers and
// alternate settings.
#define COUNTED_INTERFACES 5
#define COUNTED_SETTINGS 5
#define SETTING_NOT_COUNTED (-1)
#define ANY_VALUE (-1)
#define SELECTED_INTERFACE 0
#define PIPE_NAME_DIGIT 6  // index of the last character of "\PIPE00"
#define PIPE_NAME_NO_PIPE u'X'
#define PIPE_MAXIMUM_TRANSFER TRANSFER_CHUNK_SIZE
#define SELECT_INTERFACE_HEADER FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface)

static const WCHAR PipeNameTemplate[] = WSTR("\\PIPE00");

static PUSB_INTERFACE_DESCRIPTOR FindSetting(PUSB_CONFIGURATION_DESCRIPTOR Cd, LONG Interface,
                                             LONG Setting) {
  return USBD_ParseConfigurationDescriptorEx(Cd, Cd, Interface, Setting, ANY_VALUE, ANY_VALUE,
                                             ANY_VALUE);
}

static void CountSettings(PDEVICE_EXTENSION Extension, PUSB_CONFIGURATION_DESCRIPTOR Cd) {
  if (Extension->InterfaceSettingCount != SETTING_NOT_COUNTED) return;
  Extension->InterfaceSettingCount = 0;
  for (LONG Interface = 0; Interface < COUNTED_INTERFACES; ++Interface) {
    for (LONG Setting = 0; Setting < COUNTED_SETTINGS; ++Setting) {
      if (FindSetting(Cd, Interface, Setting) != NULL) ++Extension->InterfaceSettingCount;
    }
  }
}

static void LimitTransfers(PUSBD_INTERFACE_INFORMATION Interface) {
  for (ULONG i = 0; i < Interface->NumberOfPipes; ++i) {
    Interface->Pipes[i].MaximumTransferSize = PIPE_MAXIMUM_TRANSFER;
  }
}

// A select-interface URB for the setting of Descriptor.
static PURB BuildSelectInterface(PDEVICE_EXTENSION Extension,
                                 PUSB_INTERFACE_DESCRIPTOR Descriptor) {
  USHORT Length = GET_SELECT_INTERFACE_REQUEST_SIZE(
      Descriptor->bNumEndpoints != 0 ? Descriptor->bNumEndpoints : 1);
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, Length, DRIVER_POOL_TAG);
  if (Urb == NULL) return NULL;
  RtlZeroMemory(Urb, Length);
  UsbBuildSelectInterfaceRequest(Urb, Length, Extension->ConfigurationHandle,
                                 Descriptor->bInterfaceNumber, Descriptor->bAlternateSetting);
  Urb->UrbSelectInterface.Interface.NumberOfPipes = Descriptor->bNumEndpoints;
  return Urb;
}

// Keeps a copy of the selected interface in InterfaceInfo, reusing the buffer when it is large
// enough.
static NTSTATUS KeepInterface(PDEVICE_EXTENSION Extension, PUSBD_INTERFACE_INFORMATION Selected) {
  PUSBD_INTERFACE_INFORMATION Copy = Extension->InterfaceInfo;
  if (Copy == NULL || Copy->Length < Selected->Length) {
    Copy = (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, Selected->Length,
                                                              DRIVER_POOL_TAG);
    if (Copy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    if (Extension->InterfaceInfo != NULL) {
      ExFreePoolWithTag(Extension->InterfaceInfo, DRIVER_POOL_TAG);
    }
    Extension->InterfaceInfo = Copy;
  }
  RtlCopyMemory(Copy, Selected, Selected->Length);
  return STATUS_SUCCESS;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Cd,
                         PUSBD_INTERFACE_INFORMATION Selection) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  if (Cd == NULL) return STATUS_INVALID_PARAMETER;
  // A setting is chosen within a configuration: none is selected before the first start.
  if (Selection != NULL && Extension->ConfigurationHandle == NULL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  CountSettings(Extension, Cd);
  if (Extension->InterfaceSettingCount == 0) return STATUS_INVALID_PARAMETER;

  PURB Urb;
  PUSBD_INTERFACE_INFORMATION Interface;
  if (Selection == NULL) {
    USBD_INTERFACE_LIST_ENTRY List[2];
    RtlZeroMemory(List, sizeof(List));
    List[0].InterfaceDescriptor = FindSetting(Cd, SELECTED_INTERFACE, 0);
    if (List[0].InterfaceDescriptor == NULL) return STATUS_INVALID_PARAMETER;
    if (Cd->bNumInterfaces > 1) {
      Urb = USBD_CreateConfigurationRequestEx(Cd, List);
    } else {
      USHORT Size;
      Urb = USBD_CreateConfigurationRequest(Cd, &Size);
    }
    if (Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    Interface = &Urb->UrbSelectConfiguration.Interface;
    LimitTransfers(Interface);
    Urb->UrbSelectConfiguration.ConfigurationDescriptor = Cd;
    Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  } else {
    // The candidates are the counted settings of interface 0; a selection naming anything else
    // selects setting 0.
    PUSB_INTERFACE_DESCRIPTOR Descriptor = NULL;
    if (Selection->InterfaceNumber == SELECTED_INTERFACE &&
        Selection->AlternateSetting < (ULONG)Extension->InterfaceSettingCount) {
      Descriptor = FindSetting(Cd, SELECTED_INTERFACE, Selection->AlternateSetting);
    }
    if (Descriptor == NULL) Descriptor = FindSetting(Cd, SELECTED_INTERFACE, 0);
    if (Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    Urb = BuildSelectInterface(Extension, Descriptor);
    if (Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    Interface = &Urb->UrbSelectInterface.Interface;
    LimitTransfers(Interface);
  }

  KeWaitForSingleObject(&Extension->UsbMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS Status = SubmitUrb(DeviceObject, Urb);
  if (Selection == NULL) {
    Extension->ConfigurationHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;
  }
  if (Status == STATUS_SUCCESS) Status = KeepInterface(Extension, Interface);
  KeReleaseMutex(&Extension->UsbMutex, FALSE);
  ExFreePool(Urb);
  return Status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  PUSB_CONFIGURATION_DESCRIPTOR Cd;
  NTSTATUS Status = GetConfigurationDescriptor(DeviceObject, &Cd);
  if (Cd == NULL) {
    // A read that succeeded without a usable descriptor leaves nothing to select an interface
    // from.
    return NT_SUCCESS(Status) ? STATUS_DEVICE_DATA_ERROR : Status;
  }
  // Only interface 0 is selected.
  Cd->bNumInterfaces = 1;
  BOOLEAN Kept = Extension->ConfigurationDescriptor == NULL;
  if (Kept) Extension->ConfigurationDescriptor = Cd;
  Status = SelectInterface(DeviceObject, Cd, NULL);
  if (!Kept) ExFreePoolWithTag(Cd, DRIVER_POOL_TAG);
  return Status;
}

static void NamePipe(PPIPE_ENTRY Entry, WCHAR Last) {
  RtlCopyMemory(Entry->Name, PipeNameTemplate, sizeof(PipeNameTemplate));
  Entry->Name[PIPE_NAME_DIGIT] = Last;
}

static void EnterPipe(PDEVICE_EXTENSION Extension, ULONG Entry, PUSBD_PIPE_INFORMATION Pipe) {
  PPIPE_ENTRY Slot = &Extension->Pipes[Entry];
  NamePipe(Slot, (WCHAR)(u'0' + Entry));
  Slot->PipeInfo = Pipe;
  Slot->Opened = 0;
  if (USB_ENDPOINT_DIRECTION_IN(Pipe->EndpointAddress)) {
    Extension->InPipe = Slot;
  } else {
    Extension->OutPipe = Slot;
  }
}

// The first pipe of the interface in the direction asked for, or -1.
static LONG FindPipe(PUSBD_INTERFACE_INFORMATION Interface, BOOLEAN In) {
  for (ULONG i = 0; i < Interface->NumberOfPipes; ++i) {
    if ((USB_ENDPOINT_DIRECTION_IN(Interface->Pipes[i].EndpointAddress) != 0) == (In != 0)) {
      return (LONG)i;
    }
  }
  return -1;
}

// More pipes than entries: the first IN and the first OUT pipe are kept, in interface order; an
// interface of one direction keeps its first two.
static void EnterTwoPipes(PDEVICE_EXTENSION Extension, PUSBD_INTERFACE_INFORMATION Interface) {
  LONG In = FindPipe(Interface, TRUE);
  LONG Out = FindPipe(Interface, FALSE);
  LONG First = 0, Second = 1;
  if (In >= 0 && Out >= 0) {
    First = In < Out ? In : Out;
    Second = In < Out ? Out : In;
  }
  EnterPipe(Extension, 0, &Interface->Pipes[First]);
  EnterPipe(Extension, 1, &Interface->Pipes[Second]);
}

// Entries point into InterfaceInfo, which a selection replaces: an entry or direction the new
// interface does not fill is emptied rather than left pointing at the old interface's pipes.
NTSTATUS BuildPipeTable(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  for (ULONG i = 0; i < PIPE_COUNT; ++i) {
    NamePipe(&Extension->Pipes[i], PIPE_NAME_NO_PIPE);
    Extension->Pipes[i].PipeInfo = NULL;
  }
  Extension->InPipe = NULL;
  Extension->OutPipe = NULL;
  PUSBD_INTERFACE_INFORMATION Interface = Extension->InterfaceInfo;
  if (Interface != NULL && Interface->NumberOfPipes <= PIPE_COUNT) {
    for (ULONG i = 0; i < Interface->NumberOfPipes; ++i) {
      EnterPipe(Extension, i, &Interface->Pipes[i]);
    }
  } else if (Interface != NULL) {
    EnterTwoPipes(Extension, Interface);
  }
  // The reading thread follows the IN pipe of the new table, wherever the setting lists it.
  Extension->ReaderThreadContext.ReadPipe = Extension->InPipe;
  return Interface != NULL ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}
