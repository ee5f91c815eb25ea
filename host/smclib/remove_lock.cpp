// The remove lock: one acquisition per open handle; removal waits for the last release. As
// Driver Verifier tracks IoAcquireRemoveLock, acquisitions are counted by tag: a release without
// an acquisition of its tag stops the system, and what is still held when the library is torn
// down, or when removal waits for it, is reported by tag ("SmartcardAcquireRemoveLockWithTag
// function (smclib.h)", "Using Remove Locks").
#include "host/smclib/library_state.h"

using host::smclib::HostOsData;
using host::smclib::HostOsDataOf;

namespace host::smclib {

void TextClear(TextLine* line) {
  line->length = 0;
  line->text[0] = 0;
}

void TextAppend(TextLine* line, PCSTR text) {
  while (*text && line->length + 1 < sizeof line->text) line->text[line->length++] = *text++;
  line->text[line->length] = 0;
}

void TextAppendDecimal(TextLine* line, ULONG value) {
  CHAR digits[11];
  int count = 0;
  do {
    digits[count++] = CHAR('0' + value % 10);
    value /= 10;
  } while (value);
  CHAR text[12];
  for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  text[count] = 0;
  TextAppend(line, text);
}

void TextAppendTag(TextLine* line, ULONG tag) {
  CHAR text[5];
  for (int i = 0; i < 4; ++i) {
    CHAR c = CHAR((tag >> (8 * i)) & 0xFF);
    text[i] = c >= ' ' && c <= '~' ? c : '.';
  }
  text[4] = 0;
  TextAppend(line, text);
}

void RemoveLockHolders(HostOsData* os, TextLine* holders) {
  TextClear(holders);
  KIRQL irql;
  KeAcquireSpinLock(&os->remove_lock_guard, &irql);
  for (const RemoveLockTag& entry : os->remove_lock_tags) {
    if (entry.count <= 0) continue;
    if (holders->length) TextAppend(holders, ", ");
    if (entry.tag) {
      TextAppend(holders, "tag '");
      TextAppendTag(holders, entry.tag);
      TextAppend(holders, "'");
    } else {
      TextAppend(holders, "untagged");
    }
    TextAppend(holders, " x");
    TextAppendDecimal(holders, ULONG(entry.count));
  }
  KeReleaseSpinLock(&os->remove_lock_guard, irql);
}

}  // namespace host::smclib

namespace {

HostOsData* Required(PSMARTCARD_EXTENSION extension, PCSTR call) {
  HostOsData* os = HostOsDataOf(extension);
  if (!os) {
    SMCLIB_STOP(host::smclib::kMisuseNotInitialised, extension, "%s",
                "the extension is not initialised", call);
  }
  return os;
}

// Counts one acquisition (+1) or release (-1) of tag; false when a release finds none to match.
bool CountTag(HostOsData* os, ULONG tag, LONG change) {
  KIRQL irql;
  KeAcquireSpinLock(&os->remove_lock_guard, &irql);
  host::smclib::RemoveLockTag* slot = nullptr;
  for (auto& entry : os->remove_lock_tags) {
    if (entry.count > 0 && entry.tag == tag) slot = &entry;
  }
  if (!slot && change > 0) {
    for (auto& entry : os->remove_lock_tags) {
      if (entry.count <= 0) {
        slot = &entry;
        slot->tag = tag;
        break;
      }
    }
  }
  bool ok = slot != nullptr;
  if (slot) slot->count += change;
  KeReleaseSpinLock(&os->remove_lock_guard, irql);
  return ok;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension,
                                                 ULONG Tag) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardAcquireRemoveLock");
  if (os->remove_pending) return STATUS_DELETE_PENDING;
  if (!CountTag(os, Tag, +1)) {
    SMCLIB_STOP(host::smclib::kMisuseRemoveLockTags, Tag, "SmartcardAcquireRemoveLock",
                "more than %u tags held at once", unsigned(host::smclib::kRemoveLockTags));
  }
  InterlockedIncrement(&os->remove_lock_count);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardAcquireRemoveLockWithTag(SmartcardExtension, 0);
}

void NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardReleaseRemoveLock");
  if (!CountTag(os, Tag, -1)) {
    host::smclib::TextLine which;
    host::smclib::TextClear(&which);
    if (Tag) {
      host::smclib::TextAppend(&which, "with tag '");
      host::smclib::TextAppendTag(&which, Tag);
      host::smclib::TextAppend(&which, "'");
    } else {
      host::smclib::TextAppend(&which, "without a tag");
    }
    SMCLIB_STOP(host::smclib::kMisuseRemoveLockReleased, Tag, "SmartcardReleaseRemoveLock",
                "released more often than acquired: nothing acquired %s is held", which.text);
  }
  LONG left = InterlockedDecrement(&os->remove_lock_count);
  if (left == 0 && os->remove_pending) KeSetEvent(&os->remove_lock_free, 0, FALSE);
}

void NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardReleaseRemoveLockWithTag(SmartcardExtension, 0);
}

// Whoever still holds the lock is named before the wait, so that a removal that hangs on a
// leaked acquisition says whose it is.
void NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
  HostOsData* os = Required(SmartcardExtension, "SmartcardReleaseRemoveLockAndWait");
  os->remove_pending = TRUE;
  if (os->remove_lock_count == 0) KeSetEvent(&os->remove_lock_free, 0, FALSE);
  host::smclib::TextLine holders;
  host::smclib::RemoveLockHolders(os, &holders);
  if (holders.length) {
    DbgPrint("SMCLIB: SmartcardReleaseRemoveLockAndWait: waiting for the remove lock, held by %s\n",
             holders.text);
  }
  KeWaitForSingleObject(&os->remove_lock_free, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
