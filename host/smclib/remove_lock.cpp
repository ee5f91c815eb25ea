// The remove lock: one acquisition per open handle; removal waits for the last release. As
// Driver Verifier tracks IoAcquireRemoveLock, acquisitions are counted by tag: a release without
// an acquisition of its tag stops the machine, and what is still held when the library is torn
// down, or when removal waits for it, is reported by tag ("SmartcardAcquireRemoveLockWithTag
// function (smclib.h)", "Using Remove Locks").
#include <string>

#include "host/kernel/kernel.h"
#include "host/smclib/library.h"

using host::smclib::HostOsData;
using host::smclib::HostOsDataOf;

namespace host::smclib {

std::string RemoveLockHolders(HostOsData& os) {
  std::string holders;
  KIRQL irql;
  KeAcquireSpinLock(&os.remove_lock_guard, &irql);
  for (const RemoveLockTag& entry : os.remove_lock_tags) {
    if (entry.count <= 0) continue;
    if (!holders.empty()) holders += ", ";
    holders += entry.tag ? "tag '" + kernel::TagName(entry.tag) + "'" : std::string("untagged");
    holders += " x" + std::to_string(entry.count);
  }
  KeReleaseSpinLock(&os.remove_lock_guard, irql);
  return holders;
}

}  // namespace host::smclib

namespace {

HostOsData* Required(PSMARTCARD_EXTENSION extension, const char* call) {
  HostOsData* os = HostOsDataOf(extension);
  if (!os) host::kernel::Kernel::Current().BugCheck(call, "the extension is not initialised");
  return os;
}

// Counts one acquisition (+1) or release (-1) of tag; false when a release finds none to match.
bool CountTag(HostOsData& os, ULONG tag, LONG change) {
  KIRQL irql;
  KeAcquireSpinLock(&os.remove_lock_guard, &irql);
  host::smclib::RemoveLockTag* slot = nullptr;
  for (auto& entry : os.remove_lock_tags) {
    if (entry.count > 0 && entry.tag == tag) slot = &entry;
  }
  if (!slot && change > 0) {
    for (auto& entry : os.remove_lock_tags) {
      if (entry.count <= 0) {
        slot = &entry;
        slot->tag = tag;
        break;
      }
    }
  }
  bool ok = slot != nullptr;
  if (slot) slot->count += change;
  KeReleaseSpinLock(&os.remove_lock_guard, irql);
  return ok;
}

std::string TagText(ULONG tag) {
  return tag ? "with tag '" + host::kernel::TagName(tag) + "'" : std::string("without a tag");
}

}  // namespace

extern "C" {

NTSTATUS SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardAcquireRemoveLock");
  if (os->remove_pending) return STATUS_DELETE_PENDING;
  if (!CountTag(*os, Tag, +1)) {
    host::kernel::Kernel::Current().BugCheck(
        "SmartcardAcquireRemoveLock",
        "more than " + std::to_string(host::smclib::kRemoveLockTags) + " tags held at once");
  }
  InterlockedIncrement(&os->remove_lock_count);
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardAcquireRemoveLockWithTag(SmartcardExtension, 0);
}

void SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardReleaseRemoveLock");
  if (!CountTag(*os, Tag, -1)) {
    host::kernel::Kernel::Current().BugCheck(
        "SmartcardReleaseRemoveLock",
        "released more often than acquired: nothing acquired " + TagText(Tag) + " is held");
  }
  LONG left = InterlockedDecrement(&os->remove_lock_count);
  if (left == 0 && os->remove_pending) KeSetEvent(&os->remove_lock_free, 0, FALSE);
}

void SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardReleaseRemoveLockWithTag(SmartcardExtension, 0);
}

void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardReleaseRemoveLockAndWait");
  os->remove_pending = TRUE;
  if (os->remove_lock_count == 0) KeSetEvent(&os->remove_lock_free, 0, FALSE);
  auto& k = host::kernel::Kernel::Current();
  std::string holders = host::smclib::RemoveLockHolders(*os);
  if (!holders.empty()) k.LabelObject(&os->remove_lock_free, "the remove lock, held by " + holders);
  KeWaitForSingleObject(&os->remove_lock_free, Executive, KernelMode, FALSE, nullptr);
  k.LabelObject(&os->remove_lock_free, "");
}

}  // extern "C"
