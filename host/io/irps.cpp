// IRPs: allocation and the quarantine of freed ones, sending a request down a device stack,
// completion up the stack with its completion routines, and device-control requests built for a
// driver. The verifier's checks on these calls live here too.
#include <cstring>
#include <optional>
#include <sstream>

#include "host/io/state.h"

namespace host::io {
namespace {

constexpr ULONG kIrpTag = kernel::MakeTag("Irp ");
constexpr ULONG kSystemBufferTag = kernel::MakeTag("IoBu");

// Stack location 0 lies below the first real one; it stays zero unless a driver writes the
// next stack location of an IRP that has none left.
PIO_STACK_LOCATION Guard(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

bool GuardIntact(PIRP irp) {
  auto bytes = reinterpret_cast<const unsigned char*>(Guard(irp));
  for (size_t i = 0; i < sizeof(IO_STACK_LOCATION); ++i) {
    if (bytes[i]) return false;
  }
  return true;
}

bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

[[noreturn]] void Fail(const char* call, const std::string& message) {
  kernel::Kernel::Current().BugCheck(call, message);
}

}  // namespace

std::string Hex(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

std::string IrpRecord::Describe() const {
  std::ostringstream out;
  out << "IRP #" << serial << " at " << static_cast<const void*>(irp) << " (" << origin;
  if (state != State::kFreed) {
    int location = irp->CurrentLocation;
    if (location >= 1 && location <= irp->StackCount) {
      const Location& l = locations[size_t(location)];
      out << "; " << MajorName(l.major);
      if (l.major == IRP_MJ_PNP || l.major == IRP_MJ_POWER)
        out << " " << MinorName(l.major, l.minor);
      out << " held at stack location " << location << " by device object "
          << static_cast<const void*>(l.device);
    } else {
      out << "; not in any driver's hands";
    }
  } else {
    out << "; freed: " << freed_by;
  }
  out << ")";
  return out.str();
}

IrpRecord::PowerHolder* IrpRecord::HolderOf(PDEVICE_OBJECT device) {
  for (auto& holder : power_holders) {
    if (holder.device == device) return &holder;
  }
  return nullptr;
}

bool MustSucceed(UCHAR major, UCHAR minor) {
  return major == IRP_MJ_PNP &&
         (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE ||
          minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE);
}

bool IsSetOrQueryPower(UCHAR major, UCHAR minor) {
  return major == IRP_MJ_POWER && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER);
}

std::shared_ptr<IrpRecord> IoManager::State::FindIrpLocked(PIRP irp) {
  auto it = irps.find(irp);
  return it == irps.end() ? nullptr : it->second;
}

std::string IoManager::State::PoisonReportLocked() {
  std::string report;
  for (auto& record : quarantine) {
    for (size_t i = 0; i < record->bytes; ++i) {
      if (static_cast<unsigned char>(record->memory[i]) != kFreedFill) {
        report += "  IRP #" + std::to_string(record->serial) + " at " + Hex(record->irp) +
                  " was written after it was freed (" + record->freed_by + "), at offset " +
                  std::to_string(i) + "\n";
        break;
      }
    }
  }
  return report.empty() ? "" : "IRPs touched after they were freed:\n" + report;
}

void FreeIrpLocked(IoManager::State& s, IrpRecord& record, std::string freed_by) {
  record.state = IrpRecord::State::kFreed;
  record.freed_by = std::move(freed_by);
  record.at_top = nullptr;
  std::memset(record.memory, IoManager::State::kFreedFill, record.bytes);
  s.quarantine.push_back(s.irps[record.irp]);
  if (s.quarantine.size() > IoManager::State::kQuarantineLimit) {
    auto oldest = s.quarantine.front();
    s.quarantine.pop_front();
    s.irps.erase(oldest->irp);
    delete[] oldest->memory;
  }
}

std::shared_ptr<IrpRecord> LiveIrp(IoManager& io, const char* call, PIRP irp) {
  auto& s = io.state();
  std::unique_lock lock(s.mu);
  auto record = s.FindIrpLocked(irp);
  std::string problem;
  if (!irp) {
    problem = "called with a NULL IRP";
  } else if (!record) {
    problem = "called with " + Hex(irp) + ", which is not an IRP the I/O manager made";
  } else if (record->state == IrpRecord::State::kFreed) {
    bool completion = std::strcmp(call, "IofCompleteRequest") == 0;
    problem = (completion ? "completing IRP #" + std::to_string(record->serial) +
                                " twice: touching it after it was freed ("
                          : "touching IRP #" + std::to_string(record->serial) + " at " + Hex(irp) +
                                " after it was freed (") +
              record->freed_by + ")";
  }
  if (!problem.empty()) {
    lock.unlock();
    io.kernel().BugCheck(call, problem);
  }
  return record;
}

namespace {

PIRP NewIrp(IoManager& io, const char* call, CCHAR stack_size, IrpOwner owner, std::string origin,
            std::function<void(PIRP)> at_top, bool must_succeed = false) {
  if (stack_size < 1)
    Fail(call, "an IRP with " + std::to_string(int(stack_size)) + " stack locations");
  if (!must_succeed) {
    auto& pool = io.kernel().pool();
    void* probe = pool.Allocate(NonPagedPool, 1, kIrpTag, __builtin_return_address(0));
    if (!probe) return nullptr;
    pool.Free(probe, std::nullopt);
  }

  auto record = std::make_shared<IrpRecord>();
  record->bytes = sizeof(IRP) + (size_t(stack_size) + 1) * sizeof(IO_STACK_LOCATION);
  record->memory = new char[record->bytes]();
  PIRP irp = reinterpret_cast<PIRP>(record->memory);
  irp->Type = IO_TYPE_IRP;
  irp->Size = IoSizeOfIrp(stack_size);
  irp->StackCount = stack_size;
  irp->CurrentLocation = CHAR(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = Guard(irp) + stack_size + 1;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  InitializeListHead(&irp->ThreadListEntry);
  record->irp = irp;
  record->owner = owner;
  record->origin = std::move(origin);
  record->at_top = std::move(at_top);
  record->locations.resize(size_t(stack_size) + 1);
  auto& s = io.state();
  std::lock_guard lock(s.mu);
  record->serial = s.next_irp_serial++;
  ++s.irps_allocated;
  s.irps[irp] = record;
  return irp;
}

}  // namespace

PIRP IoManager::AllocateSystemIrp(CCHAR stack_size, std::string origin,
                                  std::function<void(PIRP)> at_top, bool must_succeed) {
  return NewIrp(*this, "IoAllocateIrp", stack_size, IrpOwner::kSystem, std::move(origin),
                std::move(at_top), must_succeed);
}

bool IoManager::HoldIrp(PIRP irp) {
  std::lock_guard lock(state_->mu);
  auto record = state_->FindIrpLocked(irp);
  if (!record || record->state == IrpRecord::State::kFreed) return false;
  ++record->holds;
  return true;
}

void IoManager::ReleaseIrp(PIRP irp) {
  std::lock_guard lock(state_->mu);
  auto record = state_->FindIrpLocked(irp);
  if (!record || record->holds <= 0) return;
  if (--record->holds == 0 && record->top_reached) {
    FreeIrpLocked(*state_, *record, "completed to the top by IofCompleteRequest");
  }
}

NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, CallKind kind) {
  RequireIrql("IofCallDriver", DISPATCH_LEVEL);
  IoManager& io = IoManager::Current();
  auto record = LiveIrp(io, "IofCallDriver", Irp);
  auto& s = io.state();
  {
    std::unique_lock lock(s.mu);
    const bool fresh = !record->sent;
    DeviceRecord* device = s.FindDeviceLocked(DeviceObject);
    std::string problem;
    if (!device) {
      problem = "sending " + record->Describe() + " to " + Hex(DeviceObject) +
                ", which is not a device object";
    } else if (device->freed) {
      problem = "sending " + record->Describe() + " to " + device->Describe() +
                ", which was deleted and is gone";
    } else if (Irp->CurrentLocation <= 1) {
      problem = "no stack location left: " + record->Describe() + " has " +
                std::to_string(int(Irp->StackCount)) + " and is sent to " + device->Describe() +
                " (stack size " + std::to_string(int(DeviceObject->StackSize)) + ")";
    } else if (!GuardIntact(Irp)) {
      problem =
          record->Describe() +
          " was written below its first stack location (the next stack location of an IRP that "
          "has none left)";
    } else if (Irp->CurrentLocation > Irp->StackCount + 1) {
      problem = record->Describe() + " has its stack location skipped past the top";
    } else if (IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER &&
               kind == CallKind::kIo) {
      // Before Windows Vista only PoCallDriver sends power IRPs ("PoCallDriver function
      // (wdm.h)").
      problem = "sending the power IRP " + record->Describe() +
                " with IoCallDriver; power IRPs go down with PoCallDriver";
    }
    if (fresh) {
      record->power_holders.clear();
      record->cancel_locks.clear();
    }
    if (problem.empty() && kind != CallKind::kPowerHeldBack &&
        IsSetOrQueryPower(IoGetNextIrpStackLocation(Irp)->MajorFunction,
                          IoGetNextIrpStackLocation(Irp)->MinorFunction)) {
      problem = PowerIrpPassedDown(*record, Irp);
    }
    if (!problem.empty()) {
      lock.unlock();
      Fail("IofCallDriver", problem);
    }
  }
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  const int location = Irp->CurrentLocation;
  const UCHAR major = stack->MajorFunction;
  const UCHAR minor = stack->MinorFunction;
  if (major > IRP_MJ_MAXIMUM_FUNCTION) {
    Fail("IofCallDriver", record->Describe() + " carries major function " + std::to_string(major));
  }
  {
    std::lock_guard lock(s.mu);
    record->sent = true;
    for (int l = 1; l <= location; ++l) record->locations[size_t(l)] = IrpRecord::Location{};
    auto& here = record->locations[size_t(location)];
    here.device = DeviceObject;
    here.major = major;
    here.minor = minor;
    here.system_pending = kind == CallKind::kPowerHeldBack;
    record->receiver = DeviceObject;
    record->receiver_location = location;
    if (IsSetOrQueryPower(major, minor) && !record->HolderOf(DeviceObject)) {
      record->power_holders.push_back(IrpRecord::PowerHolder{DeviceObject});
    }
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
  KIRQL irql = KeGetCurrentIrql();
  int mutexes = kernel::MutexesOwned();
  // Frames of the dispatch routine lie below this one.
  volatile char frame_mark = 0;
  const void* caller_frame = const_cast<const char*>(&frame_mark);
  NTSTATUS status;
  {
    kernel::RoutineScope scope("dispatch routine", reinterpret_cast<const void*>(dispatch));
    status = dispatch(DeviceObject, Irp);
  }
  std::string routine = RoutineName(reinterpret_cast<const void*>(dispatch));
  if (KeGetCurrentIrql() != irql) {
    Fail("IofCallDriver", "dispatch routine " + routine + " returned at IRQL " +
                              std::to_string(KeGetCurrentIrql()) + ", called at " +
                              std::to_string(irql));
  }
  if (kernel::MutexesOwned() > mutexes) {
    // Driver Verifier's APC-disable check: a mutex leaves kernel APCs disabled while it is held.
    Fail("IofCallDriver", "dispatch routine " + routine + " (" + MajorName(major) +
                              ") returned still owning a kernel mutex it acquired");
  }
  std::string problem;
  {
    std::lock_guard lock(s.mu);
    auto& here = record->locations[size_t(location)];
    here.returned = status;
    std::string what = "dispatch routine " + routine + " (" + MajorName(major) + ") ";
    std::string irp = "IRP #" + std::to_string(record->serial) + " (" + record->origin + ")";
    // Until completion passes the location, its Control is the driver's to read.
    bool marked =
        here.walked ? here.seen_pending : (Guard(Irp)[location].Control & SL_PENDING_RETURNED) != 0;
    if (status == STATUS_PENDING) {
      if (here.walked && !here.seen_pending) {
        problem = what + "returned STATUS_PENDING for " + irp + " without marking it pending";
      }
    } else if (marked && !here.system_pending) {
      // "IoMarkIrpPending function (wdm.h)": a routine that marks an IRP pending returns
      // STATUS_PENDING.
      problem = what + "marked " + irp + " pending with IoMarkIrpPending and returned " +
                StatusName(status) + " instead of STATUS_PENDING";
    } else if (!here.walked) {
      problem = what + "returned " + StatusName(status) + " for " + irp +
                " without completing it; a request that is not completed must be marked "
                "pending and STATUS_PENDING returned";
    } else if (status != here.seen_status) {
      problem = what + "returned " + StatusName(status) + " for " + irp +
                ", which was completed with " + StatusName(here.seen_status);
    }
    if (problem.empty()) {
      for (PIRP built : s.built_on_stack) {
        auto other = s.FindIrpLocked(built);
        if (!other || other->builder != KeGetCurrentThread()) continue;
        for (const void* address : other->on_builder_stack) {
          if (kernel::OnCurrentStack(address) && address < caller_frame) {
            problem = what + "returned while " + other->Describe() +
                      ", built with IoBuildDeviceIoControlRequest, is still in progress with its "
                      "event or I/O status block on the routine's stack, which is gone now";
          }
        }
      }
    }
  }
  if (!problem.empty()) Fail("IofCallDriver", problem);
  return status;
}

}  // namespace host::io

using host::io::IoManager;
using host::io::IrpRecord;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  host::io::RequireIrql("IoAllocateIrp", DISPATCH_LEVEL);
  IoManager& io = IoManager::Current();
  return host::io::NewIrp(io, "IoAllocateIrp", StackSize, host::io::IrpOwner::kDriver,
                          "IoAllocateIrp by " + host::io::RoutineName(__builtin_return_address(0)),
                          nullptr);
}

VOID IoFreeIrp(PIRP Irp) {
  host::io::RequireIrql("IoFreeIrp", DISPATCH_LEVEL);
  IoManager& io = IoManager::Current();
  auto record = host::io::LiveIrp(io, "IoFreeIrp", Irp);
  auto& s = io.state();
  std::unique_lock lock(s.mu);
  std::string problem;
  if (record->owner == host::io::IrpOwner::kSystem) {
    problem = "freeing " + record->Describe() +
              ", which the I/O manager owns and frees when it is completed";
  } else if (record->sent && record->in_routine == 0) {
    problem = "freeing " + record->Describe() + " while a driver still has it";
  } else if (!host::io::GuardIntact(Irp)) {
    problem = record->Describe() +
              " was written below its first stack location (the next stack location of an IRP that "
              "has none left)";
  }
  if (!problem.empty()) {
    lock.unlock();
    io.kernel().BugCheck("IoFreeIrp", problem);
  }
  host::io::FreeIrpLocked(s, *record, "freed by IoFreeIrp");
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return host::io::CallDriver(DeviceObject, Irp, host::io::CallKind::kIo);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR) {
  using host::io::Fail;
  host::io::RequireIrql("IofCompleteRequest", DISPATCH_LEVEL);
  IoManager& io = IoManager::Current();
  auto record = host::io::LiveIrp(io, "IofCompleteRequest", Irp);
  auto& s = io.state();
  UCHAR major = 0, minor = 0;
  if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount) {
    major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  }
  const bool must_succeed = host::io::MustSucceed(major, minor);
  const bool power = host::io::IsSetOrQueryPower(major, minor);
  {
    std::unique_lock lock(s.mu);
    std::string problem;
    IrpRecord::PowerHolder* holder =
        power ? record->HolderOf(IoGetCurrentIrpStackLocation(Irp)->DeviceObject) : nullptr;
    if (record->state == IrpRecord::State::kCompleting) {
      problem = "completing " + record->Describe() + " twice: it is being completed already";
    } else if (Irp->IoStatus.Status == STATUS_PENDING) {
      problem = "completing " + record->Describe() + " with STATUS_PENDING";
    } else if (Irp->CancelRoutine) {
      problem = "completing " + record->Describe() + " with a cancel routine still set (" +
                host::io::RoutineName(reinterpret_cast<const void*>(Irp->CancelRoutine)) + ")";
    } else if (!host::io::GuardIntact(Irp)) {
      problem =
          record->Describe() +
          " was written below its first stack location (the next stack location of an IRP that "
          "has none left)";
    } else if (Irp->CurrentLocation > Irp->StackCount + 1 || Irp->CurrentLocation < 1) {
      problem = "completing " + record->Describe() + " whose current stack location is invalid";
    } else if (must_succeed && !NT_SUCCESS(Irp->IoStatus.Status)) {
      problem = "failing " + record->Describe() + " with " +
                host::io::StatusName(Irp->IoStatus.Status) + "; " +
                host::io::MinorName(major, minor) + " must not fail";
    } else if (holder && !holder->started) {
      problem = "completing " + record->Describe() +
                " without PoStartNextPowerIrp from the driver that completes it";
    }
    if (!problem.empty()) {
      lock.unlock();
      Fail("IofCompleteRequest", problem);
    }
    record->state = IrpRecord::State::kCompleting;
  }
  const int count = Irp->StackCount;
  while (Irp->CurrentLocation <= count) {
    const int location = Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    std::string problem;
    {
      std::lock_guard lock(s.mu);
      auto& here = record->locations[size_t(location)];
      here.walked = true;
      here.seen_pending = (stack->Control & SL_PENDING_RETURNED) != 0;
      here.seen_status = Irp->IoStatus.Status;
      if (here.returned == STATUS_PENDING && !here.seen_pending) {
        problem = "the dispatch routine of device object " + host::io::Hex(here.device) +
                  " returned STATUS_PENDING for IRP #" + std::to_string(record->serial) + " (" +
                  record->origin + ") without marking it pending";
      }
    }
    if (!problem.empty()) Fail("IofCompleteRequest", problem);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    std::memset(stack, 0, sizeof *stack);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                              (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (!invoke) {
      if (Irp->PendingReturned && Irp->CurrentLocation <= count) IoMarkIrpPending(Irp);
      continue;
    }
    // The routine belongs to the driver one location up, which installed it.
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= count ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    {
      std::lock_guard lock(s.mu);
      ++record->in_routine;
    }
    KIRQL irql = KeGetCurrentIrql();
    NTSTATUS before = Irp->IoStatus.Status;
    NTSTATUS result;
    {
      host::kernel::RoutineScope scope("completion routine",
                                       reinterpret_cast<const void*>(routine));
      std::optional<host::kernel::ForbiddenSpinLocks> forbidden;
      if (!record->cancel_locks.empty())
        forbidden.emplace(record->cancel_locks, record->cancelled_by);
      result = routine(device, Irp, context);
    }
    std::string name = host::io::RoutineName(reinterpret_cast<const void*>(routine));
    if (KeGetCurrentIrql() != irql) {
      Fail("IofCompleteRequest", "completion routine " + name + " returned at IRQL " +
                                     std::to_string(KeGetCurrentIrql()) + ", called at " +
                                     std::to_string(irql));
    }
    bool freed;
    {
      std::lock_guard lock(s.mu);
      --record->in_routine;
      freed = record->state == IrpRecord::State::kFreed;
      if (!freed && result == STATUS_MORE_PROCESSING_REQUIRED) {
        record->state = IrpRecord::State::kActive;
        record->sent = false;
      }
    }
    if (!freed && must_succeed && Irp->IoStatus.Status != before) {
      Fail("IofCompleteRequest", "completion routine " + name + " changed the status of IRP #" +
                                     std::to_string(record->serial) + " (" +
                                     host::io::MinorName(major, minor) + ") from " +
                                     host::io::StatusName(before) + " to " +
                                     host::io::StatusName(Irp->IoStatus.Status));
    }
    if (!freed && power && result != STATUS_MORE_PROCESSING_REQUIRED) {
      bool owed;
      {
        std::lock_guard lock(s.mu);
        IrpRecord::PowerHolder* holder = record->HolderOf(device);
        owed = holder && !holder->started;
      }
      if (owed) {
        Fail("IofCompleteRequest", "completion routine " + name + " let " + record->Describe() +
                                       " go up without PoStartNextPowerIrp from its driver");
      }
    }
    if (freed) {
      if (result != STATUS_MORE_PROCESSING_REQUIRED) {
        Fail("IofCompleteRequest", "completion routine " + name + " freed IRP #" +
                                       std::to_string(record->serial) + " and returned " +
                                       host::io::StatusName(result) +
                                       " instead of STATUS_MORE_PROCESSING_REQUIRED");
      }
      return;
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
  }

  std::function<void(PIRP)> at_top;
  std::string unwound;
  {
    std::lock_guard lock(s.mu);
    record->sent = false;
    at_top = record->at_top;
    if (s.built_on_stack.erase(Irp)) {
      for (const void* address : record->on_builder_stack) {
        if (host::kernel::OnUnwoundStack(record->builder, address)) {
          unwound = "completing " + record->Describe() + ": its event or I/O status block at " +
                    host::io::Hex(address) +
                    " lay on a stack frame of the thread that built it, which has returned since";
        }
      }
    }
  }
  if (!unwound.empty()) Fail("IofCompleteRequest", unwound);
  if (record->owner == host::io::IrpOwner::kDriver) {
    Fail("IofCompleteRequest",
         "completion of " + record->Describe() +
             " reached the top of its stack; an IRP made with IoAllocateIrp comes back to its "
             "owner only through a completion routine that returns "
             "STATUS_MORE_PROCESSING_REQUIRED");
  }
  if (at_top) at_top(Irp);
  std::lock_guard lock(s.mu);
  if (record->holds > 0) {
    record->top_reached = true;
  } else {
    host::io::FreeIrpLocked(s, *record, "completed to the top by IofCompleteRequest");
  }
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  host::io::RequireIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
  IoManager& io = IoManager::Current();
  if (!DeviceObject) host::io::Fail("IoBuildDeviceIoControlRequest", "no target device object");
  auto& pool = io.kernel().pool();
  const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  char origin[96];
  std::snprintf(origin, sizeof origin, "IoBuildDeviceIoControlRequest 0x%X by %s", IoControlCode,
                host::io::RoutineName(__builtin_return_address(0)).c_str());
  const ULONG output_length = OutputBufferLength;
  PIRP irp =
      io.AllocateSystemIrp(DeviceObject->StackSize, origin, [&pool, output_length](PIRP irp) {
        PVOID system = irp->AssociatedIrp.SystemBuffer;
        if ((irp->Flags & IRP_INPUT_OPERATION) && system && irp->UserBuffer &&
            !host::io::IsError(irp->IoStatus.Status)) {
          if (irp->IoStatus.Information > output_length) {
            // The buffer goes back first: the machine stops here.
            if (irp->Flags & IRP_DEALLOCATE_BUFFER) pool.Free(system, std::nullopt);
            irp->AssociatedIrp.SystemBuffer = nullptr;
            host::io::Fail("IofCompleteRequest",
                           "a buffered request was completed with Information " +
                               std::to_string(irp->IoStatus.Information) +
                               ", more than its output buffer of " + std::to_string(output_length) +
                               " bytes");
          }
          std::memcpy(irp->UserBuffer, system, irp->IoStatus.Information);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && system) pool.Free(system, std::nullopt);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
      });
  if (!irp) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  {
    // The completion writes the status block and sets the event: both must outlive the request
    // ("IoBuildDeviceIoControlRequest function (wdm.h)").
    std::lock_guard lock(io.state().mu);
    auto record = io.state().FindIrpLocked(irp);
    record->builder = KeGetCurrentThread();
    for (const void* address :
         {static_cast<const void*>(Event), static_cast<const void*>(IoStatusBlock)}) {
      if (address && host::kernel::OnCurrentStack(address)) {
        record->on_builder_stack.push_back(address);
      }
    }
    if (!record->on_builder_stack.empty()) io.state().built_on_stack.insert(irp);
  }
  if (method == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    return irp;
  }
  // Buffered, and (without memory descriptor lists here) the direct methods alike: one system
  // buffer of the larger length, holding the input at the start.
  ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
  if (length) {
    void* buffer = pool.Allocate(NonPagedPool, length, host::io::kSystemBufferTag,
                                 __builtin_return_address(0));
    if (!buffer) {
      std::lock_guard lock(io.state().mu);
      auto record = io.state().FindIrpLocked(irp);
      io.state().built_on_stack.erase(irp);
      host::io::FreeIrpLocked(io.state(), *record, "freed by IoBuildDeviceIoControlRequest");
      return nullptr;
    }
    if (InputBuffer && InputBufferLength) std::memcpy(buffer, InputBuffer, InputBufferLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  }
  if (OutputBuffer && OutputBufferLength) {
    irp->Flags |= IRP_INPUT_OPERATION;
    irp->UserBuffer = OutputBuffer;
  }
  return irp;
}

}  // extern "C"
