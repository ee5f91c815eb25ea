#include "driver/system_thread.h"

#include "driver/driver.h"

NTSTATUS ReferenceSystemThread(HANDLE Handle, PKTHREAD* Thread) {
  PAGED_CODE();
  PVOID Object = NULL;
  NTSTATUS Status =
      ObReferenceObjectByHandle(Handle, SYNCHRONIZE, *PsThreadType, KernelMode, &Object, NULL);
  *Thread = NT_SUCCESS(Status) ? (PKTHREAD)Object : NULL;
  return Status;
}

NTSTATUS ForgetSystemThread(PKTHREAD Thread) {
  PAGED_CODE();
  if (Thread == NULL) return STATUS_SUCCESS;
  NTSTATUS Status = STATUS_SUCCESS;
  if (!LegacyPlatform) Status = KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(Thread);
  return Status;
}
