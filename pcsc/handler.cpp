#include "pcsc/handler.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "pcsc/handler_machine.h"
#include "pcsc/reader_slot.h"
#include "platform/smclib.h"

namespace pcsc {

namespace {

// Opening and closing are serialised; calls on an open reader only look their slot up.
struct Readers {
  std::mutex mu;  // guards the members; held through opening and closing
  std::unique_ptr<HandlerMachine> machine;
  std::map<uint32_t, std::shared_ptr<ReaderSlot>> slots;
  // The process is exiting: no machine starts again, whatever pcscd's threads still call.
  std::atomic<bool> exiting{false};
};

// Never destroyed: pcscd may end without closing its readers, and the machine's threads must not
// meet a destroyed table then.
Readers& TheReaders() {
  static Readers* readers = new Readers();
  return *readers;
}

std::shared_ptr<ReaderSlot> Find(uint32_t lun) {
  Readers& r = TheReaders();
  std::lock_guard lock(r.mu);
  auto it = r.slots.find(lun);
  return it == r.slots.end() ? nullptr : it->second;
}

void Log(const std::string& text) { std::fprintf(stderr, "zarq7 ifd: %s\n", text.c_str()); }

// Called with r.mu held when the last reader is gone.
void ShutDownMachine(Readers& r) {
  std::string report = r.machine->Shutdown();
  r.machine.reset();
  Log(report.empty() ? "the machine shut down" : "the machine stopped: " + report);
}

// pcscd ends on SIGTERM (systemd's stop) without closing its readers, and on SIGINT while it still
// opens them it exits from its signal thread while its main thread is in OpenReader: the machine's
// threads must not run on while the process takes itself apart. An open in progress finishes
// first (it holds r.mu), and none starts a machine afterwards.
void CloseEveryReader() {
  Readers& r = TheReaders();
  std::lock_guard lock(r.mu);
  r.exiting = true;
  for (auto& [lun, slot] : r.slots) slot->Close();
  r.slots.clear();
  if (r.machine) ShutDownMachine(r);
}

}  // namespace

IfdCode OpenReader(uint32_t lun, std::string_view device_name) {
  std::string error;
  std::optional<DeviceSpec> spec = ParseDeviceName(device_name, &error);
  if (!spec) {
    Log(error);
    return IfdCode::kCommunicationError;
  }
  Readers& r = TheReaders();
  std::lock_guard lock(r.mu);
  if (r.slots.count(lun)) {
    Log("a reader with Lun " + std::to_string(lun) + " is open already");
    return IfdCode::kCommunicationError;
  }
  if (r.exiting) return IfdCode::kCommunicationError;
  if (r.slots.size() >= kMaxReaders) {
    Log("the driver serves at most " + std::to_string(kMaxReaders) + " readers");
    return IfdCode::kCommunicationError;
  }
  if (!r.machine) {
    r.machine = HandlerMachine::Start(&error);
    if (!r.machine) {
      Log("the machine did not start: " + error);
      return IfdCode::kCommunicationError;
    }
    static bool registered = std::atexit(CloseEveryReader) == 0;
    (void)registered;
  }
  std::unique_ptr<ReaderSlot> slot = ReaderSlot::Open(*r.machine, *spec, &error);
  if (!slot) {
    Log(std::string(device_name) + ": " + error);
    if (r.slots.empty()) ShutDownMachine(r);
    return IfdCode::kCommunicationError;
  }
  // The default folder is pcscd's own, whose path may be seen only inside pcscd's mount
  // namespace (scripts/pcscd.sh): the socket is named beside pcscd's, where zarq7-card looks.
  std::string control = slot->control_path();
  if (!control.empty() && spec->control_path.empty()) {
    control = control.substr(control.rfind('/') + 1) + " beside pcscd's socket";
  }
  Log(slot->device_name() + " opened for " + std::string(device_name) +
      (control.empty() ? "" : ", control socket " + control));
  r.slots[lun] = std::move(slot);
  return IfdCode::kSuccess;
}

IfdCode CloseReader(uint32_t lun) {
  Readers& r = TheReaders();
  std::lock_guard lock(r.mu);
  auto it = r.slots.find(lun);
  if (it == r.slots.end()) return IfdCode::kNoSuchDevice;
  std::shared_ptr<ReaderSlot> slot = std::move(it->second);
  r.slots.erase(it);
  // Calls in progress on other threads hold the slot until they return.
  slot->Close();
  if (r.slots.empty()) ShutDownMachine(r);
  return IfdCode::kSuccess;
}

IfdAnswer PowerCard(uint32_t lun, PowerAction action, size_t atr_capacity) {
  auto slot = Find(lun);
  return slot ? slot->Power(action, atr_capacity) : IfdAnswer{IfdCode::kNoSuchDevice, {}};
}

IfdCode SelectProtocol(uint32_t lun, uint32_t protocol) {
  auto slot = Find(lun);
  return slot ? slot->SetProtocol(protocol) : IfdCode::kNoSuchDevice;
}

IfdAnswer TransmitToCard(uint32_t lun, uint32_t protocol, std::span<const uint8_t> command,
                         size_t capacity) {
  auto slot = Find(lun);
  return slot ? slot->Transmit(protocol, command, capacity) : IfdAnswer{IfdCode::kNoSuchDevice, {}};
}

// Once the process exits, pcscd's threads that still run (its main thread may still be opening
// readers) find an empty, quiet slot, not a reader that went away: pcscd answers a vanished reader
// with a hot-plug signal to itself, which kills it before it handles that signal.
IfdCode CardPresence(uint32_t lun) {
  auto slot = Find(lun);
  if (!slot && TheReaders().exiting) return IfdCode::kIccNotPresent;
  return slot ? slot->Presence() : IfdCode::kNoSuchDevice;
}

IfdCode WaitForCardEvent(uint32_t lun, std::chrono::milliseconds timeout) {
  auto slot = Find(lun);
  if (!slot && TheReaders().exiting) {
    std::this_thread::sleep_for(timeout);
    return IfdCode::kSuccess;
  }
  return slot ? slot->WaitForCardEvent(timeout) : IfdCode::kNoSuchDevice;
}

IfdCode StopWaitingForCardEvent(uint32_t lun) {
  auto slot = Find(lun);
  if (slot) slot->StopWaiting();
  return IfdCode::kSuccess;
}

IfdAnswer ControlReader(uint32_t lun, uint32_t code, std::span<const uint8_t> input,
                        size_t capacity) {
  auto slot = Find(lun);
  return slot ? slot->Control(code, input, capacity) : IfdAnswer{IfdCode::kNoSuchDevice, {}};
}

IfdAnswer GetReaderAttribute(uint32_t lun, uint32_t tag, size_t capacity) {
  auto slot = Find(lun);
  return slot ? slot->GetAttribute(tag, capacity) : IfdAnswer{IfdCode::kNoSuchDevice, {}};
}

IfdCode SetReaderAttribute(uint32_t lun, uint32_t tag, std::span<const uint8_t> value) {
  auto slot = Find(lun);
  return slot ? slot->SetAttribute(tag, value) : IfdCode::kNoSuchDevice;
}

uint32_t WindowsControlCode(uint32_t function) { return SCARD_CTL_CODE(function); }

std::string ControlSocketPath(uint32_t lun) {
  auto slot = Find(lun);
  return slot ? slot->control_path() : std::string();
}

}  // namespace pcsc
