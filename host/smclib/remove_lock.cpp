// The remove lock: one acquisition per open handle; removal waits for the last release.
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"

using host::smclib::HostOsData;
using host::smclib::HostOsDataOf;

namespace {

HostOsData* Required(PSMARTCARD_EXTENSION extension, const char* call) {
  HostOsData* os = HostOsDataOf(extension);
  if (!os) host::kernel::Kernel::Current().BugCheck(call, "the extension is not initialised");
  return os;
}

}  // namespace

extern "C" {

NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardAcquireRemoveLock");
  if (os->remove_pending) return STATUS_DELETE_PENDING;
  InterlockedIncrement(&os->remove_lock_count);
  return STATUS_SUCCESS;
}

void SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardReleaseRemoveLock");
  LONG left = InterlockedDecrement(&os->remove_lock_count);
  if (left < 0) {
    host::kernel::Kernel::Current().BugCheck("SmartcardReleaseRemoveLock",
                                             "released more often than acquired");
  }
  if (left == 0 && os->remove_pending) KeSetEvent(&os->remove_lock_free, 0, FALSE);
}

void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardReleaseRemoveLockAndWait");
  os->remove_pending = TRUE;
  if (os->remove_lock_count == 0) KeSetEvent(&os->remove_lock_free, 0, FALSE);
  KeWaitForSingleObject(&os->remove_lock_free, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
