// SmartcardCreateLink: the first free "\DosDevices\SCReaderN" (N = 0..9) becomes a symbolic link to
// the device. The name comes back in a pool buffer (the library's tag) that the caller owns and
// frees with RtlFreeUnicodeString or ExFreePool.
#include "host/smclib/library_state.h"
#include "platform/ex.h"
#include "platform/io.h"
#include "platform/rtl.h"

namespace {

constexpr WCHAR kLinkPrefix[] = WSTR("\\DosDevices\\SCReader");
constexpr int kLinkNumbers = 10;
// The prefix, one digit and the terminating zero.
constexpr ULONG kLinkCharacters = sizeof(kLinkPrefix) / sizeof(WCHAR) + 1;

}  // namespace

extern "C" {

// The buffer is taken before any link exists, so that running out of pool leaves no link behind.
NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName) {
  if (!LinkName || !DeviceName) return STATUS_INVALID_PARAMETER;
  LinkName->Buffer = nullptr;
  LinkName->Length = LinkName->MaximumLength = 0;
  constexpr ULONG bytes = kLinkCharacters * sizeof(WCHAR);
  auto buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, host::smclib::kLibraryTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(buffer, kLinkPrefix, (kLinkCharacters - 2) * sizeof(WCHAR));
  UNICODE_STRING name;
  name.Buffer = buffer;
  name.Length = USHORT((kLinkCharacters - 1) * sizeof(WCHAR));
  name.MaximumLength = USHORT(bytes);
  buffer[kLinkCharacters - 1] = 0;
  NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
  for (int n = 0; n < kLinkNumbers; ++n) {
    buffer[kLinkCharacters - 2] = WCHAR(WSTR('0') + n);
    status = IoCreateSymbolicLink(&name, DeviceName);
    if (status != STATUS_OBJECT_NAME_COLLISION) break;
  }
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(buffer, host::smclib::kLibraryTag);
    return status;
  }
  *LinkName = name;
  return STATUS_SUCCESS;
}

}  // extern "C"
