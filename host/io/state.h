// The I/O manager's private state. Everything here is guarded by State::mu, a host lock held
// only for a few steps at a time: never across a driver routine, a wait or a kernel call that
// could run one (KeSetEvent, a spin lock, a bug check).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/io/io_manager.h"

namespace host::io {

// Who frees an IRP and what happens when its completion reaches the top of its stack.
enum class IrpOwner {
  kDriver,  // IoAllocateIrp: its owner stops completion with STATUS_MORE_PROCESSING_REQUIRED
  kSystem,  // IoBuildDeviceIoControlRequest, Plug and Play, power, applications
};

struct IrpRecord {
  // What the I/O manager saw at one stack location (1 = the bottom).
  struct Location {
    PDEVICE_OBJECT device = nullptr;  // whose dispatch routine got it
    UCHAR major = 0;
    UCHAR minor = 0;
    bool walked = false;  // completion has passed this location
    bool seen_pending = false;
    // The power manager marked it pending while it held the IRP back (PoCallDriver).
    bool system_pending = false;
    NTSTATUS seen_status = STATUS_SUCCESS;
    std::optional<NTSTATUS> returned;  // what the dispatch routine returned
  };
  // A driver that received an IRP_MN_SET_POWER or IRP_MN_QUERY_POWER and owes it one
  // PoStartNextPowerIrp.
  struct PowerHolder {
    PDEVICE_OBJECT device = nullptr;
    bool started = false;   // PoStartNextPowerIrp called
    bool deferred = false;  // passed down with its own completion routine, may start it there
  };
  enum class State { kActive, kCompleting, kFreed };

  uint64_t serial = 0;
  PIRP irp = nullptr;
  char* memory = nullptr;
  size_t bytes = 0;
  IrpOwner owner = IrpOwner::kDriver;
  std::string origin;  // how it was made
  State state = State::kActive;
  bool sent = false;         // in a driver's hands: sent and not yet come back
  int in_routine = 0;        // completion routines running now
  int holds = 0;             // HoldIrp
  bool top_reached = false;  // completed to the top while held
  std::string freed_by;
  std::function<void(PIRP)> at_top;
  std::vector<Location> locations;  // index = location number, 0 unused
  std::vector<PowerHolder> power_holders;
  PDEVICE_OBJECT receiver = nullptr;  // whose dispatch routine got it last
  int receiver_location = 0;
  // Spin locks its canceller held in IoCancelIrp, which its completion routines must not take.
  std::vector<const void*> cancel_locks;
  std::string cancelled_by;
  // IoBuildDeviceIoControlRequest with the event or status block on the builder's stack.
  PKTHREAD builder = nullptr;
  std::vector<const void*> on_builder_stack;

  std::string Describe() const;
  PowerHolder* HolderOf(PDEVICE_OBJECT device);
};

struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  char* memory = nullptr;
  std::u16string name;
  std::string driver_name;
  int references = 0;
  bool deleted = false;
  bool freed = false;
  int open_files = 0;
  PDEVICE_OBJECT lower = nullptr;  // what it is attached to
  int named_opens = 0;             // open files whose path named this device object
  bool surprise_removed = false;   // its stack is between surprise removal and removal
  POWER_STATE device_power{};
  POWER_STATE system_power{};
  // Windows 2000/XP let one system and one device power IRP at a time into a device object;
  // the next of a kind waits for PoStartNextPowerIrp ("Calling PoStartNextPowerIrp").
  struct PowerQueue {
    PIRP active = nullptr;
    std::deque<PIRP> waiting;
  };
  PowerQueue power_queues[2];  // by POWER_STATE_TYPE

  std::string Describe() const;
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  std::unique_ptr<DRIVER_EXTENSION> extension;
  std::u16string name;
  std::u16string service_key;
  std::u16string registry_path;
};

struct LinkRecord {
  std::u16string name;
  std::u16string target;
};

struct InterfaceRecord {
  PDEVICE_OBJECT pdo = nullptr;
  GUID guid{};
  std::u16string reference;
  std::u16string link;  // the symbolic link name handed to the driver
  bool enabled = false;
};

// An open file: what an application handle refers to.
struct FileRecord {
  FILE_OBJECT object{};
  std::u16string path;
  std::u16string file_name;         // the buffer behind object.FileName
  PDEVICE_OBJECT target = nullptr;  // top of the stack: where its requests go
  std::set<PIRP> outstanding;       // read, write and device-control requests in progress
  bool closing = false;
  // The handle left the application's table when its close began, as CloseHandle takes it out
  // first: a second close, or a new request, on it finds no handle.
  bool handle_closed = false;
  KEVENT idle{};  // set when outstanding empties while closing
};

struct IoManager::State {
  std::mutex mu;
  uint64_t next_irp_serial = 1;
  uint64_t irps_allocated = 0;
  std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> irps;  // live and quarantined
  std::deque<std::shared_ptr<IrpRecord>> quarantine;          // freed, oldest first
  std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices;
  std::map<std::u16string, PDEVICE_OBJECT> device_names;  // upper-case key
  std::vector<std::unique_ptr<DriverRecord>> drivers;
  std::map<std::u16string, LinkRecord> links;  // upper-case key
  std::vector<InterfaceRecord> interfaces;
  uint32_t next_autogenerated_name = 1;
  uint32_t next_interface_instance = 1;
  KSPIN_LOCK cancel_lock = 0;
  std::function<void(PDEVICE_OBJECT)> last_close_hook;
  std::map<uint64_t, std::unique_ptr<FileRecord>> files;  // by application handle
  uint64_t next_handle = 1;
  // Built IRPs in progress whose event or status block lies on their builder's stack.
  std::set<PIRP> built_on_stack;

  // Fills freed IRPs, so that a write after the free shows at the next check.
  static constexpr unsigned char kFreedFill = 0xDD;
  static constexpr size_t kQuarantineLimit = 4096;

  std::shared_ptr<IrpRecord> FindIrpLocked(PIRP irp);
  DeviceRecord* FindDeviceLocked(PDEVICE_OBJECT device);
  // Frees the device object's memory once it is deleted and unreferenced.
  void MaybeFreeDeviceLocked(DeviceRecord& record);
  std::string PoisonReportLocked();
};

std::u16string UpperKey(std::u16string_view name);
std::u16string FromUnicode(PCUNICODE_STRING s);

// Verifier helpers: fatal when the calling thread's IRQL is above max.
void RequireIrql(const char* call, KIRQL max);
// The live record of irp, or a bug check naming the call (freed, or never an IRP).
std::shared_ptr<IrpRecord> LiveIrp(IoManager& io, const char* call, PIRP irp);

// A routine's symbol, for reports.
using kernel::RoutineName;

// How a request is handed to a driver: IoCallDriver, PoCallDriver, or the power manager
// delivering a power IRP it held back (marked pending in the sender's name).
enum class CallKind { kIo, kPower, kPowerHeldBack };
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, CallKind kind);

// A Plug and Play or power request whose status drivers must not fail or change:
// IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE and
// IRP_MN_CANCEL_STOP_DEVICE ("Handling an IRP_MN_SURPRISE_REMOVAL Request", "IRP_MN_REMOVE_DEVICE",
// "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE").
bool MustSucceed(UCHAR major, UCHAR minor);
// IRP_MN_SET_POWER and IRP_MN_QUERY_POWER: the requests PoStartNextPowerIrp is owed for.
bool IsSetOrQueryPower(UCHAR major, UCHAR minor);
// The verifier's check on a set or query power IRP leaving the driver that holds it for the one
// below (State::mu held): a problem to report, or empty.
std::string PowerIrpPassedDown(IrpRecord& record, PIRP irp);
// Hex text of a pointer, for reports.
std::string Hex(const void* p);

// Frees an IRP's memory into the quarantine (State::mu held).
void FreeIrpLocked(IoManager::State& state, IrpRecord& record, std::string freed_by);

}  // namespace host::io
