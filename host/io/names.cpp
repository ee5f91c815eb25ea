// The object namespace beyond device names: symbolic links, device interfaces, and resolving a
// path to a device object.
#include <cstring>

#include "host/io/state.h"

using host::io::IoManager;

namespace {

constexpr ULONG kInterfaceNameTag = host::kernel::MakeTag("IoIf");
constexpr size_t kMaxLinkHops = 16;

// "\DosDevices\X" and "\GLOBAL??\X" are other spellings of "\??\X"; the rest keeps its case.
std::u16string CanonicalSpelling(std::u16string_view name) {
  static constexpr std::u16string_view kAliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\"};
  std::u16string key = host::io::UpperKey(name);
  for (auto alias : kAliases) {
    std::u16string upper = host::io::UpperKey(alias);
    if (key.starts_with(upper)) return u"\\??\\" + std::u16string(name.substr(upper.size()));
  }
  return std::u16string(name);
}

std::u16string Canonical(std::u16string_view name) {
  return host::io::UpperKey(CanonicalSpelling(name));
}

// The longest key of map that is path or a prefix of it ending at a backslash.
template <class Map>
typename Map::const_iterator LongestPrefix(const Map& map, const std::u16string& path) {
  auto best = map.end();
  size_t best_length = 0;
  for (auto it = map.begin(); it != map.end(); ++it) {
    const std::u16string& key = it->first;
    if (key.size() <= path.size() && path.compare(0, key.size(), key) == 0 &&
        (path.size() == key.size() || path[key.size()] == u'\\') && key.size() > best_length) {
      best = it;
      best_length = key.size();
    }
  }
  return best;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

namespace host::io {

PDEVICE_OBJECT IoManager::Resolve(std::u16string_view path, std::u16string* rest) {
  std::lock_guard lock(state_->mu);
  auto& s = *state_;
  // Keys are upper case; the file name handed to the driver keeps the caller's case.
  std::u16string spelled = CanonicalSpelling(path);
  for (size_t hop = 0; hop < kMaxLinkHops; ++hop) {
    auto link = LongestPrefix(s.links, UpperKey(spelled));
    if (link == s.links.end()) break;
    spelled = CanonicalSpelling(link->second.target + spelled.substr(link->first.size()));
  }
  auto device = LongestPrefix(s.device_names, UpperKey(spelled));
  if (device == s.device_names.end()) return nullptr;
  if (rest) *rest = spelled.substr(device->first.size());
  return device->second;
}

std::vector<std::u16string> IoManager::SymbolicLinks() {
  std::lock_guard lock(state_->mu);
  std::vector<std::u16string> names;
  for (auto& [key, link] : state_->links) names.push_back(link.name);
  return names;
}

std::vector<std::u16string> IoManager::EnabledInterfaces(const GUID& interface_class) {
  std::lock_guard lock(state_->mu);
  std::vector<std::u16string> names;
  for (auto& i : state_->interfaces) {
    if (i.enabled && SameGuid(i.guid, interface_class)) names.push_back(i.link);
  }
  return names;
}

void IoManager::DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(state_->mu);
  for (auto& i : state_->interfaces) {
    if (i.pdo == pdo && i.enabled) {
      i.enabled = false;
      state_->links.erase(Canonical(i.link));
    }
  }
}

}  // namespace host::io

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  host::io::RequireIrql("IoCreateSymbolicLink", PASSIVE_LEVEL);
  auto& s = IoManager::Current().state();
  std::u16string name = host::io::FromUnicode(SymbolicLinkName);
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  std::u16string key = Canonical(name);
  std::lock_guard lock(s.mu);
  if (s.links.count(key) || s.device_names.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  s.links[key] = host::io::LinkRecord{name, host::io::FromUnicode(DeviceName)};
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  host::io::RequireIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
  auto& s = IoManager::Current().state();
  std::lock_guard lock(s.mu);
  return s.links.erase(Canonical(host::io::FromUnicode(SymbolicLinkName)))
             ? STATUS_SUCCESS
             : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
  host::io::RequireIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL);
  IoManager& io = IoManager::Current();
  auto& s = io.state();
  std::u16string link;
  {
    std::lock_guard lock(s.mu);
    host::io::DeviceRecord* pdo = s.FindDeviceLocked(PhysicalDeviceObject);
    if (!pdo || pdo->deleted || !(PhysicalDeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE) ||
        pdo->name.empty()) {
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string reference = host::io::FromUnicode(ReferenceString);
    for (auto& i : s.interfaces) {
      if (i.pdo == PhysicalDeviceObject && SameGuid(i.guid, *InterfaceClassGuid) &&
          i.reference == reference) {
        link = i.link;
      }
    }
    if (link.empty()) {
      std::u16string instance = pdo->name.substr(pdo->name.rfind(u'\\') + 1);
      link = u"\\??\\ROOT#PDO#" + instance + u"#" +
             host::io::Widen(host::io::GuidText(*InterfaceClassGuid));
      if (!reference.empty()) link += u"\\" + reference;
      host::io::InterfaceRecord record;
      record.pdo = PhysicalDeviceObject;
      record.guid = *InterfaceClassGuid;
      record.reference = reference;
      record.link = link;
      s.interfaces.push_back(record);
    }
  }
  size_t bytes = link.size() * sizeof(WCHAR);
  auto buffer = static_cast<PWSTR>(io.kernel().pool().Allocate(
      PagedPool, bytes + sizeof(WCHAR), kInterfaceNameTag, __builtin_return_address(0)));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = USHORT(bytes);
  SymbolicLinkName->MaximumLength = USHORT(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  host::io::RequireIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
  auto& s = IoManager::Current().state();
  std::u16string key = Canonical(host::io::FromUnicode(SymbolicLinkName));
  std::lock_guard lock(s.mu);
  for (auto& i : s.interfaces) {
    if (Canonical(i.link) != key) continue;
    if (bool(Enable) == i.enabled) return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
    if (Enable) {
      host::io::DeviceRecord* pdo = s.FindDeviceLocked(i.pdo);
      if (!pdo || pdo->deleted) return STATUS_INVALID_DEVICE_REQUEST;
      s.links[key] = host::io::LinkRecord{i.link, pdo->name};
    } else {
      s.links.erase(key);
    }
    i.enabled = Enable;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

}  // extern "C"
