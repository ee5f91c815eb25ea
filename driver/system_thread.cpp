#include "driver/system_thread.h"

#include "driver/driver.h"

NTSTATUS ReferenceSystemThread(HANDLE Handle, PKTHREAD* Thread) {
  PAGED_CODE();
  PVOID Object = NULL;
  // No object type: the handle is the thread's own, just made, and a kernel-mode reference needs
  // none. MinGW-w64's headers declare the exported PsThreadType dllimport and one pointer level
  // above what the kernel exports, so *PsThreadType in the image reads the thread type's first
  // field, and the reference fails as a type mismatch (seen under Wine).
  NTSTATUS Status = ObReferenceObjectByHandle(Handle, SYNCHRONIZE, NULL, KernelMode, &Object, NULL);
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
