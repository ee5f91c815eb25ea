// The I/O manager's life: registration with the kernel, the shutdown checks, driver objects and
// device references.
#include "host/io/io_manager.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "host/io/state.h"

namespace host::io {
namespace {

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void InitUnicode(UNICODE_STRING& s, std::u16string& text) {
  s.Buffer = text.data();
  s.Length = USHORT(text.size() * sizeof(WCHAR));
  s.MaximumLength = USHORT(s.Length + sizeof(WCHAR));
}

}  // namespace

IoManager::IoManager(kernel::Kernel& kernel, IoOptions options)
    : kernel_(kernel), options_(options), state_(std::make_unique<State>()) {
  kernel_.SetService<IoManager>(this);
  kernel_.SetLegacyPlatform(!WdmVersionAvailable(1, 0x10));
  kernel_.AddShutdownCheck([this] { return LeakReport(); });
  // A thread whose routine returned has no stack left for a request's event or status block
  // ("IoBuildDeviceIoControlRequest function (wdm.h)").
  kernel_.AddThreadEndCheck([this](PKTHREAD thread) {
    std::lock_guard lock(state_->mu);
    for (PIRP irp : state_->built_on_stack) {
      auto record = state_->FindIrpLocked(irp);
      if (record && record->builder == thread) {
        return "ended while " + record->Describe() +
               " is still in progress with its event or I/O status block on the thread's stack";
      }
    }
    return std::string();
  });
}

IoManager::~IoManager() {
  if (kernel_.GetService<IoManager>() == this) kernel_.SetService<IoManager>(nullptr);
  auto& s = *state_;
  for (auto& [irp, record] : s.irps) delete[] record->memory;
  for (auto& [device, record] : s.devices) delete[] record->memory;
}

IoManager& IoManager::Current() {
  kernel::Kernel& k = kernel::Kernel::Current();
  IoManager* io = k.GetService<IoManager>();
  if (!io) k.BugCheck("I/O manager", "an Io or Po call in a machine that has no I/O manager");
  return *io;
}

bool IoManager::WdmVersionAvailable(UCHAR major, UCHAR minor) const {
  return major < options_.wdm_major || (major == options_.wdm_major && minor <= options_.wdm_minor);
}

PDRIVER_OBJECT IoManager::CreateHostDriver(std::u16string_view name) {
  auto record = std::make_unique<DriverRecord>();
  record->object = std::make_unique<DRIVER_OBJECT>();
  record->extension = std::make_unique<DRIVER_EXTENSION>();
  record->name = name;
  PDRIVER_OBJECT driver = record->object.get();
  std::memset(driver, 0, sizeof *driver);
  std::memset(record->extension.get(), 0, sizeof(DRIVER_EXTENSION));
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = record->extension.get();
  record->extension->DriverObject = driver;
  InitUnicode(driver->DriverName, record->name);
  auto slash = name.rfind(u'\\');
  record->service_key = name.substr(slash == std::u16string_view::npos ? 0 : slash + 1);
  InitUnicode(record->extension->ServiceKeyName, record->service_key);
  for (auto& entry : driver->MajorFunction) entry = InvalidDeviceRequest;
  std::lock_guard lock(state_->mu);
  state_->drivers.push_back(std::move(record));
  return driver;
}

PDRIVER_OBJECT IoManager::LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry,
                                     std::u16string_view registry_path, NTSTATUS* status) {
  RequireIrql("LoadDriver", PASSIVE_LEVEL);
  PDRIVER_OBJECT driver = CreateHostDriver(name);
  UNICODE_STRING path;
  {
    std::lock_guard lock(state_->mu);
    DriverRecord& record = *state_->drivers.back();
    record.registry_path = registry_path;
    InitUnicode(path, record.registry_path);
  }
  driver->DriverInit = entry;
  NTSTATUS result = entry(driver, &path);
  if (status) *status = result;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    kernel_.BugCheck("DriverEntry", "returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (!NT_SUCCESS(result)) {
    if (driver->DeviceObject) {
      kernel_.BugCheck("DriverEntry",
                       "failed with " + StatusName(result) + " but left device objects behind");
    }
    std::lock_guard lock(state_->mu);
    std::erase_if(state_->drivers, [&](auto& r) { return r->object.get() == driver; });
    return nullptr;
  }
  return driver;
}

NTSTATUS IoManager::UnloadDriver(PDRIVER_OBJECT driver) {
  RequireIrql("UnloadDriver", PASSIVE_LEVEL);
  if (driver->DeviceObject) return STATUS_DEVICE_BUSY;
  if (driver->DriverUnload) driver->DriverUnload(driver);
  if (driver->DeviceObject) {
    kernel_.BugCheck("DriverUnload", "the driver created a device object while it was unloaded");
  }
  std::lock_guard lock(state_->mu);
  std::erase_if(state_->drivers, [&](auto& r) { return r->object.get() == driver; });
  return STATUS_SUCCESS;
}

void IoManager::ReferenceDevice(PDEVICE_OBJECT device) {
  std::lock_guard lock(state_->mu);
  if (DeviceRecord* record = state_->FindDeviceLocked(device)) {
    ++record->references;
    device->ReferenceCount = record->references;
  }
}

void IoManager::DereferenceDevice(PDEVICE_OBJECT device) {
  std::unique_lock lock(state_->mu);
  DeviceRecord* record = state_->FindDeviceLocked(device);
  if (!record || record->references <= 0) {
    lock.unlock();
    kernel_.BugCheck("ObDereferenceObject",
                     "dereferencing a device object that holds no reference");
  }
  --record->references;
  if (!record->freed) device->ReferenceCount = record->references;
  state_->MaybeFreeDeviceLocked(*record);
}

PDEVICE_OBJECT IoManager::AttachedDevice(PDEVICE_OBJECT device) {
  std::lock_guard lock(state_->mu);
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT IoManager::LowerDevice(PDEVICE_OBJECT device) {
  std::lock_guard lock(state_->mu);
  DeviceRecord* record = state_->FindDeviceLocked(device);
  return record ? record->lower : nullptr;
}

bool IoManager::IsDeleted(PDEVICE_OBJECT device) {
  std::lock_guard lock(state_->mu);
  DeviceRecord* record = state_->FindDeviceLocked(device);
  return !record || record->deleted;
}

std::u16string IoManager::DeviceName(PDEVICE_OBJECT device) {
  std::lock_guard lock(state_->mu);
  DeviceRecord* record = state_->FindDeviceLocked(device);
  return record ? record->name : std::u16string();
}

int IoManager::OpenFiles(PDEVICE_OBJECT device) {
  std::lock_guard lock(state_->mu);
  DeviceRecord* record = state_->FindDeviceLocked(device);
  return record ? record->open_files : 0;
}

void IoManager::SetSurpriseRemoval(PDEVICE_OBJECT pdo, bool in_progress) {
  std::lock_guard lock(state_->mu);
  for (PDEVICE_OBJECT device = pdo; device; device = device->AttachedDevice) {
    if (DeviceRecord* record = state_->FindDeviceLocked(device)) {
      record->surprise_removed = in_progress;
    }
  }
}

void IoManager::SetLastCloseHook(std::function<void(PDEVICE_OBJECT)> hook) {
  std::lock_guard lock(state_->mu);
  state_->last_close_hook = std::move(hook);
}

void IoManager::FreeUnsentIrp(PIRP irp) {
  std::lock_guard lock(state_->mu);
  state_->built_on_stack.erase(irp);
  if (auto record = state_->FindIrpLocked(irp)) FreeIrpLocked(*state_, *record, "never sent");
}

size_t IoManager::live_irps() {
  std::lock_guard lock(state_->mu);
  size_t n = 0;
  for (auto& [irp, record] : state_->irps) n += record->state != IrpRecord::State::kFreed;
  return n;
}

uint64_t IoManager::irps_allocated() {
  std::lock_guard lock(state_->mu);
  return state_->irps_allocated;
}

size_t IoManager::live_devices() {
  std::lock_guard lock(state_->mu);
  size_t n = 0;
  for (auto& [device, record] : state_->devices) n += !record->freed;
  return n;
}

std::string IoManager::LeakReport() {
  std::ostringstream out;
  {
    std::lock_guard lock(state_->mu);
    auto& s = *state_;
    std::string irps;
    for (auto& [irp, record] : s.irps) {
      if (record->state != IrpRecord::State::kFreed) irps += "\n  " + record->Describe();
    }
    if (!irps.empty()) out << "IRPs left over at shutdown:" << irps << "\n";
    std::string devices;
    for (auto& [device, record] : s.devices) {
      if (!record->freed) devices += "\n  " + record->Describe();
    }
    if (!devices.empty()) out << "device objects left over at shutdown:" << devices << "\n";
    std::string links;
    for (auto& [key, link] : s.links) {
      links += "\n  " + Narrow(link.name) + " -> " + Narrow(link.target);
    }
    if (!links.empty()) out << "symbolic links left over at shutdown:" << links << "\n";
    std::string files;
    for (auto& [handle, file] : s.files) {
      files += "\n  handle " + std::to_string(handle) + " to " + Narrow(file->path);
    }
    if (!files.empty()) out << "files still open at shutdown:" << files << "\n";
    out << s.PoisonReportLocked();
  }
  return out.str();
}

// ---------------------------------------------------------------------------------------------

DeviceRecord* IoManager::State::FindDeviceLocked(PDEVICE_OBJECT device) {
  auto it = devices.find(device);
  return it == devices.end() ? nullptr : it->second.get();
}

void IoManager::State::MaybeFreeDeviceLocked(DeviceRecord& record) {
  if (!record.deleted || record.references > 0 || record.freed) return;
  // The memory stays (filled) so that a later use of the pointer is recognised.
  std::memset(record.memory, kFreedFill, sizeof(DEVICE_OBJECT));
  record.freed = true;
}

std::string DeviceRecord::Describe() const {
  std::ostringstream out;
  out << "device object " << static_cast<const void*>(device);
  if (!name.empty()) out << " \"" << Narrow(name) << "\"";
  out << " of driver " << driver_name;
  if (deleted) out << " (deleted, " << references << " references left)";
  return out.str();
}

std::u16string UpperKey(std::u16string_view name) {
  std::u16string key(name);
  for (auto& c : key) {
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  }
  return key;
}

std::u16string FromUnicode(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  return out;
}

std::u16string Widen(std::string_view text) {
  std::u16string out;
  for (char c : text) out += char16_t(static_cast<unsigned char>(c));
  return out;
}

std::string GuidText(const GUID& g) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buffer;
}

std::string MajorName(UCHAR major) {
  static const char* const kNames[] = {"IRP_MJ_CREATE",
                                       "IRP_MJ_CREATE_NAMED_PIPE",
                                       "IRP_MJ_CLOSE",
                                       "IRP_MJ_READ",
                                       "IRP_MJ_WRITE",
                                       "IRP_MJ_QUERY_INFORMATION",
                                       "IRP_MJ_SET_INFORMATION",
                                       "IRP_MJ_QUERY_EA",
                                       "IRP_MJ_SET_EA",
                                       "IRP_MJ_FLUSH_BUFFERS",
                                       "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                       "IRP_MJ_SET_VOLUME_INFORMATION",
                                       "IRP_MJ_DIRECTORY_CONTROL",
                                       "IRP_MJ_FILE_SYSTEM_CONTROL",
                                       "IRP_MJ_DEVICE_CONTROL",
                                       "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                       "IRP_MJ_SHUTDOWN",
                                       "IRP_MJ_LOCK_CONTROL",
                                       "IRP_MJ_CLEANUP",
                                       "IRP_MJ_CREATE_MAILSLOT",
                                       "IRP_MJ_QUERY_SECURITY",
                                       "IRP_MJ_SET_SECURITY",
                                       "IRP_MJ_POWER",
                                       "IRP_MJ_SYSTEM_CONTROL",
                                       "IRP_MJ_DEVICE_CHANGE",
                                       "IRP_MJ_QUERY_QUOTA",
                                       "IRP_MJ_SET_QUOTA",
                                       "IRP_MJ_PNP"};
  if (major <= IRP_MJ_MAXIMUM_FUNCTION) return kNames[major];
  return "IRP_MJ_" + std::to_string(major);
}

std::string MinorName(UCHAR major, UCHAR minor) {
  if (major == IRP_MJ_PNP) {
    switch (minor) {
      case IRP_MN_START_DEVICE:
        return "IRP_MN_START_DEVICE";
      case IRP_MN_QUERY_REMOVE_DEVICE:
        return "IRP_MN_QUERY_REMOVE_DEVICE";
      case IRP_MN_REMOVE_DEVICE:
        return "IRP_MN_REMOVE_DEVICE";
      case IRP_MN_CANCEL_REMOVE_DEVICE:
        return "IRP_MN_CANCEL_REMOVE_DEVICE";
      case IRP_MN_STOP_DEVICE:
        return "IRP_MN_STOP_DEVICE";
      case IRP_MN_QUERY_STOP_DEVICE:
        return "IRP_MN_QUERY_STOP_DEVICE";
      case IRP_MN_CANCEL_STOP_DEVICE:
        return "IRP_MN_CANCEL_STOP_DEVICE";
      case IRP_MN_QUERY_DEVICE_RELATIONS:
        return "IRP_MN_QUERY_DEVICE_RELATIONS";
      case IRP_MN_QUERY_PNP_DEVICE_STATE:
        return "IRP_MN_QUERY_PNP_DEVICE_STATE";
      case IRP_MN_QUERY_CAPABILITIES:
        return "IRP_MN_QUERY_CAPABILITIES";
      case IRP_MN_SURPRISE_REMOVAL:
        return "IRP_MN_SURPRISE_REMOVAL";
      default:
        break;
    }
  } else if (major == IRP_MJ_POWER) {
    switch (minor) {
      case IRP_MN_WAIT_WAKE:
        return "IRP_MN_WAIT_WAKE";
      case IRP_MN_POWER_SEQUENCE:
        return "IRP_MN_POWER_SEQUENCE";
      case IRP_MN_SET_POWER:
        return "IRP_MN_SET_POWER";
      case IRP_MN_QUERY_POWER:
        return "IRP_MN_QUERY_POWER";
      default:
        break;
    }
  }
  return "minor " + std::to_string(minor);
}

void RequireIrql(const char* call, KIRQL max) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > max) {
    kernel::Kernel::Current().BugCheck(
        call, "called at IRQL " + std::to_string(irql) + ", above " + std::to_string(max));
  }
}

}  // namespace host::io
