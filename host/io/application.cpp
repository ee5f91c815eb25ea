#include "host/io/application.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "host/io/state.h"

namespace host::io {

struct AppRequest {
  KEVENT done{};
  std::atomic<bool> finished{false};
  IoResult result;
  std::vector<UCHAR> input;
  std::vector<UCHAR> user_output;  // the application's own buffer, when not buffered
  ULONG output_length = 0;
};

namespace {

constexpr ULONG kSystemBufferTag = kernel::MakeTag("IoBu");
constexpr ULONG kFileOpen = 0x00000001;  // create disposition: open an existing object
constexpr int kDispositionShift = 24;

bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

std::shared_ptr<AppRequest> Finished(NTSTATUS status) {
  auto request = std::make_shared<AppRequest>();
  KeInitializeEvent(&request->done, NotificationEvent, TRUE);
  request->result.status = status;
  request->finished = true;
  return request;
}

}  // namespace

bool AsyncIo::done() const { return request_->finished; }

IoResult AsyncIo::Wait() {
  KeWaitForSingleObject(&request_->done, UserRequest, UserMode, FALSE, nullptr);
  return request_->result;
}

std::shared_ptr<AppRequest> Application::Issue(Handle handle, UCHAR major, ULONG code,
                                               std::span<const UCHAR> input, ULONG output_length) {
  RequireIrql("Application", PASSIVE_LEVEL);
  auto& s = io_.state();
  FileRecord* file;
  PDEVICE_OBJECT target;
  bool deleted;
  {
    std::lock_guard lock(s.mu);
    auto it = s.files.find(handle);
    if (it == s.files.end()) return Finished(STATUS_INVALID_HANDLE);
    file = it->second.get();
    if (file->handle_closed && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
      return Finished(STATUS_INVALID_HANDLE);
    }
    target = file->target;
    DeviceRecord* device = s.FindDeviceLocked(target);
    deleted = !device || device->deleted;
  }
  if (deleted && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
    return Finished(STATUS_DELETE_PENDING);
  }
  auto request = std::make_shared<AppRequest>();
  KeInitializeEvent(&request->done, NotificationEvent, FALSE);
  request->input.assign(input.begin(), input.end());
  request->output_length = output_length;
  bool buffered = false;
  if (major == IRP_MJ_DEVICE_CONTROL) buffered = METHOD_FROM_CTL_CODE(code) != METHOD_NEITHER;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) buffered = target->Flags & DO_BUFFERED_IO;
  bool returns_data = major == IRP_MJ_READ || major == IRP_MJ_DEVICE_CONTROL;
  bool tracked = returns_data || major == IRP_MJ_WRITE;

  auto& pool = io_.kernel().pool();
  char origin[96];
  bool control = major == IRP_MJ_DEVICE_CONTROL;
  std::snprintf(origin, sizeof origin, "application %s%s%s", MajorName(major).c_str(),
                control ? " " : "", control ? StatusName(NTSTATUS(code)).c_str() : "");
  PIRP irp = io_.AllocateSystemIrp(
      target->StackSize, origin,
      [&s, &pool, request, file, buffered, returns_data](PIRP irp) {
        PVOID system = irp->AssociatedIrp.SystemBuffer;
        NTSTATUS status = irp->IoStatus.Status;
        ULONG_PTR information = irp->IoStatus.Information;
        if (returns_data && !IsError(status) && information) {
          if (information > request->output_length) {
            // The buffer goes back first: the machine stops here.
            if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && system) pool.Free(system, std::nullopt);
            irp->AssociatedIrp.SystemBuffer = nullptr;
            kernel::Kernel::Current().BugCheck(
                "IofCompleteRequest", "a request was completed with Information " +
                                          std::to_string(information) +
                                          ", more than its output buffer of " +
                                          std::to_string(request->output_length) + " bytes");
          }
          auto source = static_cast<const UCHAR*>(buffered ? system : request->user_output.data());
          if (source) request->result.output.assign(source, source + information);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && system) pool.Free(system, std::nullopt);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        request->result.status = status;
        request->result.information = information;
        bool idle;
        {
          std::lock_guard lock(s.mu);
          file->outstanding.erase(irp);
          idle = file->closing && file->outstanding.empty();
        }
        if (idle) KeSetEvent(&file->idle, IO_NO_INCREMENT, FALSE);
        request->finished = true;
        KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
      },
      major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE);
  if (!irp) return Finished(STATUS_INSUFFICIENT_RESOURCES);
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = &file->object;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = &file->object;
  auto system_buffer = [&](ULONG length) {
    if (!length) return true;
    void* buffer = pool.Allocate(NonPagedPool, length, kSystemBufferTag, nullptr);
    if (!buffer) return false;
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
  };
  bool ok = true;
  ULONG input_length = ULONG(request->input.size());
  switch (major) {
    case IRP_MJ_CREATE:
      next->Parameters.Create.Options = kFileOpen << kDispositionShift;
      irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
      break;
    case IRP_MJ_CLOSE:
      irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
      break;
    case IRP_MJ_DEVICE_CONTROL:
      next->Parameters.DeviceIoControl.IoControlCode = code;
      next->Parameters.DeviceIoControl.InputBufferLength = input_length;
      next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
      if (buffered) {
        ok = system_buffer(input_length > output_length ? input_length : output_length);
        if (ok && input_length) {
          std::memcpy(irp->AssociatedIrp.SystemBuffer, request->input.data(), input_length);
        }
        if (output_length) irp->Flags |= IRP_INPUT_OPERATION;
      } else {
        request->user_output.resize(output_length);
        next->Parameters.DeviceIoControl.Type3InputBuffer = request->input.data();
        irp->UserBuffer = request->user_output.data();
      }
      break;
    case IRP_MJ_READ:
      next->Parameters.Read.Length = output_length;
      irp->Flags |= IRP_READ_OPERATION;
      if (buffered) {
        ok = system_buffer(output_length);
        irp->Flags |= IRP_INPUT_OPERATION;
      } else {
        request->user_output.resize(output_length);
        irp->UserBuffer = request->user_output.data();
      }
      break;
    case IRP_MJ_WRITE:
      next->Parameters.Write.Length = input_length;
      irp->Flags |= IRP_WRITE_OPERATION;
      if (buffered) {
        ok = system_buffer(input_length);
        if (ok && input_length) {
          std::memcpy(irp->AssociatedIrp.SystemBuffer, request->input.data(), input_length);
        }
      } else {
        irp->UserBuffer = request->input.data();
      }
      break;
    default:
      break;
  }
  if (!ok) {
    io_.FreeUnsentIrp(irp);
    return Finished(STATUS_INSUFFICIENT_RESOURCES);
  }
  if (tracked) {
    std::lock_guard lock(s.mu);
    file->outstanding.insert(irp);
  }
  IofCallDriver(target, irp);
  return request;
}

NTSTATUS Application::Open(std::u16string_view path, Handle* handle) {
  RequireIrql("Application::Open", PASSIVE_LEVEL);
  *handle = kInvalidHandle;
  std::u16string rest;
  PDEVICE_OBJECT named = io_.Resolve(path, &rest);
  if (!named) return STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT top = io_.AttachedDevice(named);
  auto owned = std::make_unique<FileRecord>();
  FileRecord& file = *owned;
  file.path = path;
  file.file_name = rest;
  file.target = top;
  file.object.Type = IO_TYPE_FILE;
  file.object.Size = sizeof(FILE_OBJECT);
  file.object.DeviceObject = named;
  file.object.ReadAccess = file.object.WriteAccess = TRUE;
  file.object.FileName.Buffer = file.file_name.data();
  file.object.FileName.Length = USHORT(file.file_name.size() * sizeof(WCHAR));
  file.object.FileName.MaximumLength = USHORT(file.object.FileName.Length + sizeof(WCHAR));
  KeInitializeEvent(&file.idle, NotificationEvent, FALSE);
  auto& s = io_.state();
  Handle opened;
  {
    std::lock_guard lock(s.mu);
    DeviceRecord* device = s.FindDeviceLocked(top);
    if (!device || device->deleted) return STATUS_DELETE_PENDING;
    // Exclusive access is a property of the device object the path names: a device interface
    // names the physical device object, so opens through it reach the function driver, whose
    // own rule decides ("Specifying Exclusive Access to Device Objects").
    DeviceRecord* named_record = s.FindDeviceLocked(named);
    if ((named->Flags & DO_EXCLUSIVE) && named_record->named_opens > 0) {
      return STATUS_ACCESS_DENIED;
    }
    ++named_record->named_opens;
    ++device->open_files;
    ++device->references;
    opened = s.next_handle++;
    s.files[opened] = std::move(owned);
  }
  IoResult result = AsyncIo(Issue(opened, IRP_MJ_CREATE, 0, {}, 0)).Wait();
  if (!NT_SUCCESS(result.status)) {
    {
      std::lock_guard lock(s.mu);
      --s.FindDeviceLocked(top)->open_files;
      --s.FindDeviceLocked(named)->named_opens;
      s.files.erase(opened);
    }
    io_.DereferenceDevice(top);
    return result.status;
  }
  *handle = opened;
  return result.status;
}

IoResult Application::DeviceIoControl(Handle handle, ULONG code, std::span<const UCHAR> input,
                                      ULONG output_length) {
  return DeviceIoControlAsync(handle, code, input, output_length).Wait();
}

AsyncIo Application::DeviceIoControlAsync(Handle handle, ULONG code, std::span<const UCHAR> input,
                                          ULONG output_length) {
  return AsyncIo(Issue(handle, IRP_MJ_DEVICE_CONTROL, code, input, output_length));
}

IoResult Application::Read(Handle handle, ULONG length) { return ReadAsync(handle, length).Wait(); }

AsyncIo Application::ReadAsync(Handle handle, ULONG length) {
  return AsyncIo(Issue(handle, IRP_MJ_READ, 0, {}, length));
}

IoResult Application::Write(Handle handle, std::span<const UCHAR> data) {
  return WriteAsync(handle, data).Wait();
}

AsyncIo Application::WriteAsync(Handle handle, std::span<const UCHAR> data) {
  return AsyncIo(Issue(handle, IRP_MJ_WRITE, 0, data, 0));
}

NTSTATUS Application::CancelIo(Handle handle) {
  RequireIrql("Application::CancelIo", PASSIVE_LEVEL);
  auto& s = io_.state();
  std::vector<PIRP> irps;
  {
    std::lock_guard lock(s.mu);
    auto it = s.files.find(handle);
    if (it == s.files.end()) return STATUS_INVALID_HANDLE;
    irps.assign(it->second->outstanding.begin(), it->second->outstanding.end());
  }
  // A held IRP stays in memory even if it completes meanwhile.
  std::vector<PIRP> held;
  for (PIRP irp : irps) {
    if (io_.HoldIrp(irp)) held.push_back(irp);
  }
  for (PIRP irp : held) {
    IoCancelIrp(irp);
    io_.ReleaseIrp(irp);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Application::Close(Handle handle) {
  RequireIrql("Application::Close", PASSIVE_LEVEL);
  auto& s = io_.state();
  FileRecord* file;
  {
    std::lock_guard lock(s.mu);
    auto it = s.files.find(handle);
    if (it == s.files.end() || it->second->handle_closed) return STATUS_INVALID_HANDLE;
    file = it->second.get();
    file->handle_closed = true;
  }
  AsyncIo(Issue(handle, IRP_MJ_CLEANUP, 0, {}, 0)).Wait();
  for (;;) {
    {
      std::lock_guard lock(s.mu);
      if (file->outstanding.empty()) break;
      file->closing = true;
      KeResetEvent(&file->idle);
    }
    KeWaitForSingleObject(&file->idle, UserRequest, UserMode, FALSE, nullptr);
  }
  AsyncIo(Issue(handle, IRP_MJ_CLOSE, 0, {}, 0)).Wait();
  PDEVICE_OBJECT top = file->target;
  bool last;
  std::function<void(PDEVICE_OBJECT)> hook;
  {
    std::lock_guard lock(s.mu);
    DeviceRecord* device = s.FindDeviceLocked(top);
    last = --device->open_files == 0;
    --s.FindDeviceLocked(file->object.DeviceObject)->named_opens;
    hook = s.last_close_hook;
    s.files.erase(handle);
  }
  if (last && hook) hook(top);
  io_.DereferenceDevice(top);
  return STATUS_SUCCESS;
}

}  // namespace host::io
