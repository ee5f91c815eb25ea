#include "tests/host/io/test_driver/test_driver.h"

const GUID GUID_DEVINTERFACE_TESTDRV = {
    0x6F1D3C2A, 0x0B7E, 0x4E55, {0x9A, 0x31, 0x5C, 0x0D, 0x2E, 0x8B, 0x7F, 0x41}};

TESTDRV_COUNTS TestDriverCounts;
TESTDRV_FAULTS TestDriverFaults;

// Nothing here may wait: the lower drivers may complete D0 at DISPATCH_LEVEL in their context.
NTSTATUS TestDriverPowerUpComplete(PDEVICE_OBJECT, PIRP Irp, PVOID) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  TestDriverCounts.PowerUpIrql = KeGetCurrentIrql();
  if (TestDriverFaults.WaitInPowerUpCompletion) {
    LARGE_INTEGER Interval;
    Interval.QuadPart = -10000;  // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &Interval);
  }
  return STATUS_SUCCESS;
}

namespace {

PTESTDRV_EXTENSION Ext(PDEVICE_OBJECT DeviceObject) {
  return (PTESTDRV_EXTENSION)DeviceObject->DeviceExtension;
}

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends Irp down and waits until the lower drivers have completed it; the IRP is ours again.
NTSTATUS ForwardAndWait(PTESTDRV_EXTENSION Extension, PIRP Irp) {
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
  NTSTATUS Status = IoCallDriver(Extension->LowerDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = Irp->IoStatus.Status;
  }
  return Status;
}

NTSTATUS PassDown(PTESTDRV_EXTENSION Extension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Extension->LowerDevice, Irp);
}

NTSTATUS QueryCapabilities(PTESTDRV_EXTENSION Extension) {
  PIRP Irp = IoAllocateIrp(Extension->PhysicalDevice->StackSize, FALSE);
  if (!Irp) return STATUS_INSUFFICIENT_RESOURCES;
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_PNP;
  Next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  Extension->Capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  Extension->Capabilities.Version = 1;
  Extension->Capabilities.Address = (ULONG)-1;
  Extension->Capabilities.UINumber = (ULONG)-1;
  Next->Parameters.DeviceCapabilities.Capabilities = &Extension->Capabilities;
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
  NTSTATUS Status = IoCallDriver(Extension->PhysicalDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = Irp->IoStatus.Status;
  }
  IoFreeIrp(Irp);
  return Status;
}

// Takes the waiting request away from the cancel routine; NULL when there is none or its
// cancel routine already owns it.
PIRP TakeWaitIrp(PTESTDRV_EXTENSION Extension) {
  KIRQL Irql;
  IoAcquireCancelSpinLock(&Irql);
  PIRP Irp = Extension->WaitIrp;
  Extension->WaitIrp = NULL;
  if (Irp && !IoSetCancelRoutine(Irp, NULL)) Irp = NULL;
  IoReleaseCancelSpinLock(Irql);
  return Irp;
}

VOID CancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTESTDRV_EXTENSION Extension = Ext(DeviceObject);
  if (Extension->WaitIrp == Irp) Extension->WaitIrp = NULL;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteIrp(Irp, STATUS_CANCELLED, 0);
}

NTSTATUS StartWait(PTESTDRV_EXTENSION Extension, PIRP Irp) {
  KIRQL Irql;
  IoAcquireCancelSpinLock(&Irql);
  if (Extension->WaitIrp) {
    IoReleaseCancelSpinLock(Irql);
    return CompleteIrp(Irp, STATUS_DEVICE_BUSY, 0);
  }
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(Irql);
    return CompleteIrp(Irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(Irp);
  Extension->WaitIrp = Irp;
  IoSetCancelRoutine(Irp, CancelWait);
  IoReleaseCancelSpinLock(Irql);
  return STATUS_PENDING;
}

NTSTATUS ForwardToBus(PTESTDRV_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
  ULONG InLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG OutLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
  KEVENT Event;
  IO_STATUS_BLOCK Iosb;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  PIRP Request =
      IoBuildDeviceIoControlRequest(IOCTL_TESTBUS_REQUEST, Extension->LowerDevice, Buffer, InLength,
                                    Buffer, OutLength, TRUE, &Event, &Iosb);
  if (!Request) return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  NTSTATUS Status = IoCallDriver(Extension->LowerDevice, Request);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = Iosb.Status;
  }
  return CompleteIrp(Irp, Status, NT_SUCCESS(Status) ? Iosb.Information : 0);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTESTDRV_EXTENSION Extension = Ext(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (!Extension->Started) return CompleteIrp(Irp, STATUS_DELETE_PENDING, 0);
  ULONG InLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG OutLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TESTDRV_ECHO: {
      ULONG Length = InLength < OutLength ? InLength : OutLength;
      PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
      // In place: the input is read before the output is written.
      for (ULONG i = 0; i < Length / 2; ++i) {
        UCHAR Byte = Buffer[i];
        Buffer[i] = Buffer[Length - 1 - i];
        Buffer[Length - 1 - i] = Byte;
      }
      return CompleteIrp(Irp, STATUS_SUCCESS, Length);
    }
    case IOCTL_TESTDRV_WAIT:
      return StartWait(Extension, Irp);
    case IOCTL_TESTDRV_SIGNAL: {
      PIRP Waiting = TakeWaitIrp(Extension);
      if (Waiting) CompleteIrp(Waiting, STATUS_SUCCESS, 0);
      return CompleteIrp(Irp, Waiting ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE, 0);
    }
    case IOCTL_TESTDRV_FORWARD:
      return ForwardToBus(Extension, Irp, Stack);
    case IOCTL_TESTDRV_FILE_NAME: {
      PUNICODE_STRING Name = &Stack->FileObject->FileName;
      if (OutLength < Name->Length) return CompleteIrp(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Name->Buffer, Name->Length);
      return CompleteIrp(Irp, STATUS_SUCCESS, Name->Length);
    }
    default:
      return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  InterlockedIncrement(&TestDriverCounts.Creates);
  if (!Ext(DeviceObject)->Started) return CompleteIrp(Irp, STATUS_DELETE_PENDING, 0);
  if (InterlockedCompareExchange(&Ext(DeviceObject)->DeviceOpen, 1, 0) != 0) {
    return CompleteIrp(Irp, STATUS_UNSUCCESSFUL, 0);
  }
  return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  InterlockedExchange(&Ext(DeviceObject)->DeviceOpen, 0);
  return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIRP Waiting = TakeWaitIrp(Ext(DeviceObject));
  if (Waiting) CompleteIrp(Waiting, STATUS_CANCELLED, 0);
  return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTESTDRV_EXTENSION Extension = Ext(DeviceObject);
  ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  if (Length > Extension->DataLength) Length = Extension->DataLength;
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Extension->Data, Length);
  return CompleteIrp(Irp, STATUS_SUCCESS, Length);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTESTDRV_EXTENSION Extension = Ext(DeviceObject);
  ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
  if (Length > sizeof(Extension->Data)) return CompleteIrp(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  RtlCopyMemory(Extension->Data, Irp->AssociatedIrp.SystemBuffer, Length);
  Extension->DataLength = Length;
  return CompleteIrp(Irp, STATUS_SUCCESS, Length);
}

NTSTATUS CapabilitiesCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  PDEVICE_CAPABILITIES Capabilities =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  Capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTESTDRV_EXTENSION Extension = Ext(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS Status = ForwardAndWait(Extension, Irp);
      if (Irp->PendingReturned) InterlockedIncrement(&TestDriverCounts.StartsPended);
      if (NT_SUCCESS(Status)) {
        Extension->Started = TRUE;
        IoSetDeviceInterfaceState(&Extension->InterfaceName, TRUE);
      }
      return CompleteIrp(Irp, Status, 0);
    }
    case IRP_MN_QUERY_CAPABILITIES:
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, CapabilitiesCompletion, NULL, TRUE, TRUE, TRUE);
      return IoCallDriver(Extension->LowerDevice, Irp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: {
      Extension->Started = FALSE;
      PIRP Waiting = TakeWaitIrp(Extension);
      if (Waiting) CompleteIrp(Waiting, STATUS_DEVICE_REMOVED, 0);
      IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
      if (Stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        if (TestDriverFaults.FailSurpriseRemoval) return CompleteIrp(Irp, STATUS_UNSUCCESSFUL, 0);
        if (TestDriverFaults.DeleteOnSurpriseRemoval) {
          IoDetachDevice(Extension->LowerDevice);
          IoDeleteDevice(DeviceObject);
        }
      }
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Extension, Irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      Extension->Started = FALSE;
      Extension->Removed = TRUE;
      PIRP Waiting = TakeWaitIrp(Extension);
      if (Waiting) CompleteIrp(Waiting, STATUS_DEVICE_REMOVED, 0);
      IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
      RtlFreeUnicodeString(&Extension->InterfaceName);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS Status = PassDown(Extension, Irp);
      IoDetachDevice(Extension->LowerDevice);
      IoDeleteDevice(DeviceObject);
      return Status;
    }
    default:
      return PassDown(Extension, Irp);
  }
}

VOID NTAPI SystemPowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR, POWER_STATE, PVOID Context,
                               PIO_STATUS_BLOCK IoStatus) {
  PTESTDRV_EXTENSION Extension = (PTESTDRV_EXTENSION)Context;
  UNREFERENCED_PARAMETER(DeviceObject);
  PIRP SystemIrp = Extension->PendingSystemPower;
  Extension->PendingSystemPower = NULL;
  InterlockedIncrement(&TestDriverCounts.PowerCompletions);
  IoCopyCurrentIrpStackLocationToNext(SystemIrp);
  PoStartNextPowerIrp(SystemIrp);
  UNREFERENCED_PARAMETER(IoStatus);
  PoCallDriver(Extension->LowerDevice, SystemIrp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTESTDRV_EXTENSION Extension = Ext(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MinorFunction == IRP_MN_SET_POWER) {
    if (Stack->Parameters.Power.Type == SystemPowerState) {
      POWER_STATE Wanted;
      Wanted.DeviceState = Stack->Parameters.Power.State.SystemState == PowerSystemWorking
                               ? PowerDeviceD0
                               : PowerDeviceD3;
      if (Wanted.DeviceState != Extension->DevicePower) {
        IoMarkIrpPending(Irp);
        Extension->PendingSystemPower = Irp;
        PoRequestPowerIrp(Extension->PhysicalDevice, IRP_MN_SET_POWER, Wanted, SystemPowerComplete,
                          Extension, NULL);
        return STATUS_PENDING;
      }
    } else {
      Extension->DevicePower = Stack->Parameters.Power.State.DeviceState;
      PoSetPowerState(DeviceObject, DevicePowerState, Stack->Parameters.Power.State);
    }
  }
  if (Stack->MinorFunction == IRP_MN_SET_POWER &&
      Stack->Parameters.Power.Type == SystemPowerState) {
    TestDriverCounts.SystemPowerThread = KeGetCurrentThread();
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (Stack->MinorFunction == IRP_MN_SET_POWER &&
      Stack->Parameters.Power.Type == DevicePowerState &&
      Stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
    IoSetCompletionRoutine(Irp, TestDriverPowerUpComplete, NULL, TRUE, TRUE, TRUE);
  }
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(Extension->LowerDevice, Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  WCHAR NameBuffer[] = u"\\Device\\TESTDRV0";
  UNICODE_STRING Name;
  RtlInitUnicodeString(&Name, NameBuffer);
  PDEVICE_OBJECT DeviceObject = NULL;
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  for (int i = 0; i < 9; ++i) {
    NameBuffer[ARRAYSIZE(NameBuffer) - 2] = (WCHAR)(u'0' + i);
    Status = IoCreateDevice(DriverObject, sizeof(TESTDRV_EXTENSION), &Name, FILE_DEVICE_UNKNOWN, 0,
                            TRUE, &DeviceObject);
    if (NT_SUCCESS(Status)) break;
  }
  if (!NT_SUCCESS(Status)) return Status;
  InterlockedIncrement(&TestDriverCounts.AddDevices);
  PTESTDRV_EXTENSION Extension = Ext(DeviceObject);
  Extension->Self = DeviceObject;
  Extension->PhysicalDevice = PhysicalDeviceObject;
  Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_TESTDRV, NULL,
                                     &Extension->InterfaceName);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(DeviceObject);
    return Status;
  }
  if (!TestDriverFaults.LeaveInitializing) DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  DeviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  Extension->LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  Extension->CapabilityStatus = QueryCapabilities(Extension);
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) { InterlockedIncrement(&TestDriverCounts.Unloads); }

}  // namespace

extern "C" NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverUnload = Unload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}
