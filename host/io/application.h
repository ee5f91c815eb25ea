// Applications' view of devices: handles opened by path, device-control, read and write
// requests, cancellation and close, as an emulated application thread makes them.
//
// A path names a device object ("\Device\NAME"), a symbolic link to one ("\??\NAME", an enabled
// device interface), optionally followed by a file name that the driver sees in the file
// object ("\Device\USBTESK0\PIPE00" gives "\PIPE00"). The request goes to the top of the named
// device's stack. An open is refused with STATUS_ACCESS_DENIED when the device object the path
// names is exclusive (DO_EXCLUSIVE) and already open; a device interface names the physical
// device object, so opens through it always reach the function driver's create routine. Device
// control uses the method of its code: METHOD_BUFFERED (and, with no memory descriptor lists here,
// the direct methods) through one system buffer of the larger length, output copied back up to the
// Information the driver reports; METHOD_NEITHER hands the application's buffers over as they are.
// Reads and writes are buffered on devices with DO_BUFFERED_IO and go straight to the application's
// buffer otherwise.
//
// Every call is made from an emulated thread at PASSIVE_LEVEL. The blocking forms wait for the
// final status; the asynchronous forms return at once with an AsyncIo that completes later
// (requests that pend, such as card tracking). Close sends IRP_MJ_CLEANUP, waits until the
// handle's requests have completed (the driver's cleanup is expected to finish them), then
// sends IRP_MJ_CLOSE. Requests on a handle whose device object was deleted fail with
// STATUS_DELETE_PENDING without reaching the driver; cleanup and close still do.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "host/io/io_manager.h"

namespace host::io {

using Handle = uint64_t;
constexpr Handle kInvalidHandle = 0;

struct IoResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<UCHAR> output;  // what came back, Information bytes at most
};

// One request in flight. Shared by the application and the completion.
struct AppRequest;

class AsyncIo {
 public:
  explicit AsyncIo(std::shared_ptr<AppRequest> request) : request_(std::move(request)) {}
  bool done() const;
  // Waits for the final status.
  IoResult Wait();

 private:
  std::shared_ptr<AppRequest> request_;
};

class Application {
 public:
  explicit Application(IoManager& io) : io_(io) {}

  NTSTATUS Open(std::u16string_view path, Handle* handle);
  IoResult DeviceIoControl(Handle handle, ULONG code, std::span<const UCHAR> input,
                           ULONG output_length);
  AsyncIo DeviceIoControlAsync(Handle handle, ULONG code, std::span<const UCHAR> input,
                               ULONG output_length);
  IoResult Read(Handle handle, ULONG length);
  AsyncIo ReadAsync(Handle handle, ULONG length);
  IoResult Write(Handle handle, std::span<const UCHAR> data);
  AsyncIo WriteAsync(Handle handle, std::span<const UCHAR> data);
  // Cancels every request of the handle still in progress (IoCancelIrp on each).
  NTSTATUS CancelIo(Handle handle);
  NTSTATUS Close(Handle handle);

 private:
  std::shared_ptr<AppRequest> Issue(Handle handle, UCHAR major, ULONG code,
                                    std::span<const UCHAR> input, ULONG output_length);
  IoManager& io_;
};

}  // namespace host::io
