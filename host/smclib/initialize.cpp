// SmartcardInitialize and SmartcardExit: the library's per-device state and its two buffers.
#include "host/smclib/library_state.h"
#include "platform/ex.h"
#include "platform/rtl.h"

using host::smclib::HostOsData;
using host::smclib::HostOsDataOf;
using host::smclib::kLibraryTag;

namespace {

PUCHAR AllocateBuffer(ULONG& size) {
  if (size < host::smclib::kMinimumBufferSize) size = host::smclib::kMinimumBufferSize;
  auto buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kLibraryTag));
  if (buffer) RtlZeroMemory(buffer, size);
  return buffer;
}

// Freeing a buffer the driver lent to a descriptor would free the driver's memory under it, so
// the verifier stops the system instead.
void CheckOwnBuffer(PUCHAR in_descriptor, PUCHAR own, PCSTR which) {
  if (in_descriptor != own) {
    SMCLIB_STOP(host::smclib::kMisuseLentBuffer, in_descriptor, "SmartcardExit",
                "%s.Buffer is not the buffer SmartcardInitialize allocated", which);
  }
}

}  // namespace

extern "C" {

// OsData comes first and stays when a buffer cannot be allocated, so that the caller can tell a
// failure before the library's state existed from one after it; SmartcardExit frees both kinds.
NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->Version < host::smclib::kOldestSupportedVersion) {
    return STATUS_UNSUCCESSFUL;
  }
  if (SmartcardExtension->OsData) {
    SMCLIB_STOP(host::smclib::kMisuseInitialisedTwice, SmartcardExtension, "SmartcardInitialize",
                "the extension is initialised already");
  }
  auto os = static_cast<HostOsData*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(HostOsData), kLibraryTag));
  if (!os) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(os, sizeof(HostOsData));
  KeInitializeSpinLock(&os->os.SpinLock);
  KeInitializeSpinLock(&os->remove_lock_guard);
  KeInitializeEvent(&os->remove_lock_free, NotificationEvent, FALSE);
  KeInitializeMutex(&os->request_mutex, 0);
  SmartcardExtension->OsData = &os->os;

  SmartcardExtension->SmartcardRequest.Buffer =
      AllocateBuffer(SmartcardExtension->SmartcardRequest.BufferSize);
  os->own_request_buffer = SmartcardExtension->SmartcardRequest.Buffer;
  SmartcardExtension->SmartcardReply.Buffer =
      AllocateBuffer(SmartcardExtension->SmartcardReply.BufferSize);
  os->own_reply_buffer = SmartcardExtension->SmartcardReply.Buffer;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.BufferLength = 0;
  if (!os->own_request_buffer || !os->own_reply_buffer) return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}

void NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
  HostOsData* os = HostOsDataOf(SmartcardExtension);
  if (!os) return;
  // A request still pending or in progress would be completed later into freed memory.
  if (os->os.NotificationIrp) {
    SMCLIB_STOP(host::smclib::kMisuseNotificationPending, os->os.NotificationIrp, "SmartcardExit",
                "OsData->NotificationIrp is still pending: the driver has not completed the card "
                "tracking request");
  }
  if (os->os.CurrentIrp) {
    SMCLIB_STOP(host::smclib::kMisuseRequestInProgress, os->os.CurrentIrp, "SmartcardExit",
                "a device-control request is still in progress in the library");
  }
  host::smclib::TextLine holders;
  host::smclib::RemoveLockHolders(os, &holders);
  if (holders.length) {
    SMCLIB_STOP(host::smclib::kMisuseRemoveLockHeld, os->remove_lock_count, "SmartcardExit",
                "the remove lock is still held (leaked): %s", holders.text);
  }
  CheckOwnBuffer(SmartcardExtension->SmartcardRequest.Buffer, os->own_request_buffer,
                 "SmartcardRequest");
  CheckOwnBuffer(SmartcardExtension->SmartcardReply.Buffer, os->own_reply_buffer, "SmartcardReply");
  if (os->own_request_buffer) ExFreePoolWithTag(os->own_request_buffer, kLibraryTag);
  if (os->own_reply_buffer) ExFreePoolWithTag(os->own_reply_buffer, kLibraryTag);
  SmartcardExtension->SmartcardRequest.Buffer = nullptr;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.Buffer = nullptr;
  SmartcardExtension->SmartcardReply.BufferLength = 0;
  SmartcardExtension->OsData = nullptr;
  ExFreePoolWithTag(os, kLibraryTag);
}

}  // extern "C"
