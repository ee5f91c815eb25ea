#include "pcsc/reader_slot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/io/io_manager.h"
#include "pcsc/control_code_name.h"
#include "platform/smclib.h"
#include "sim/cards/builtin_card.h"

namespace pcsc {

namespace {

using host::machine::ReaderHandle;

constexpr char kDefaultControlFolder[] = "/run/pcscd/";
constexpr char kControlPrefix[] = "zarq7-";
constexpr char kControlSuffix[] = ".ctl";
// A swap waits until the driver has seen the card go (it looks every 1.2 s) before the next
// card goes in; otherwise the driver, and pcscd, would never see the first one leave.
constexpr auto kSwapWaitLimit = std::chrono::seconds(4);
constexpr auto kSwapPollInterval = std::chrono::milliseconds(50);

std::vector<UCHAR> UlongBytes(ULONG value) {
  std::vector<UCHAR> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::optional<ULONG> UlongOf(const std::vector<uint8_t>& bytes) {
  ULONG value = 0;
  if (bytes.size() != sizeof value) return std::nullopt;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

// pcsc-lite's protocol bits as the driver's: T=0 and T=1 are the same bits, raw is not.
ULONG WindowsProtocols(uint32_t pcsc) {
  ULONG windows = pcsc & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
  if (pcsc & kPcscProtocolRaw) windows |= SCARD_PROTOCOL_RAW;
  return windows;
}

ULONG PowerCode(PowerAction action) {
  switch (action) {
    case PowerAction::kUp:
      return SCARD_COLD_RESET;
    case PowerAction::kReset:
      return SCARD_WARM_RESET;
    case PowerAction::kDown:
      break;
  }
  return SCARD_POWER_DOWN;
}

// The smart card library's state names, each with what it means for a person reading them.
const char* StateName(ULONG state) {
  static const char* const kNames[] = {"unknown",
                                       "absent (no card)",
                                       "present (a card, not in position)",
                                       "swallowed (a card in the slot, not powered)",
                                       "powered (a card powered, its mode not known)",
                                       "negotiable (a card reset, no protocol selected)",
                                       "specific (a card reset, its protocol selected)"};
  return state < std::size(kNames) ? kNames[state] : "?";
}

host::machine::ConverterOptions ConverterFor(const DeviceSpec& spec) {
  host::machine::ConverterOptions options;
  options.rig.reader.card.seed = spec.seed;
  switch (spec.card) {
    case CardKind::kBuiltin:
      break;
    case CardKind::kT0Only:
      options.rig.reader.card.t0_only = true;
      break;
    case CardKind::kNone:
    case CardKind::kVicc:  // the emulator goes in when it connects
      options.rig.reader.insert_card = false;
      break;
  }
  return options;
}

}  // namespace

ReaderSlot::ReaderSlot(HandlerMachine& machine, const DeviceSpec& spec)
    : hm_(machine), outside_(machine.outside()), spec_(spec), card_in_slot_(spec.card) {}

std::unique_ptr<ReaderSlot> ReaderSlot::Open(HandlerMachine& machine, const DeviceSpec& spec,
                                             std::string* error) {
  std::unique_ptr<ReaderSlot> slot(new ReaderSlot(machine, spec));
  if (spec.card == CardKind::kVicc) {
    slot->vicc_ = sim::VpcdBridge::Listen(spec.vicc_port, error);
    if (!slot->vicc_) return nullptr;
  }
  bool plugged = false;
  if (!machine.main_lane().Run([&] { plugged = slot->PlugConverter(error); }) || !plugged) {
    if (error->empty()) *error = machine.end_report();
    return nullptr;
  }
  bool opened = false;
  if (!slot->OnRequestLane([&] { opened = slot->OpenHandle(error); }) || !opened) {
    if (error->empty()) *error = machine.end_report();
    return nullptr;
  }
  std::string path =
      spec.control_path.empty()
          ? kDefaultControlFolder + (kControlPrefix + slot->device_name_) + kControlSuffix
          : spec.control_path;
  std::string why;
  ReaderSlot* raw = slot.get();
  slot->control_ = ControlServer::Listen(
      path, [raw](std::string_view request) { return raw->Command(request); }, &why);
  if (!slot->control_) std::fprintf(stderr, "zarq7 ifd: no control socket: %s\n", why.c_str());
  return slot;
}

ReaderSlot::~ReaderSlot() { Close(); }

void ReaderSlot::Close() {
  if (closed_) return;
  closed_ = true;
  {
    std::lock_guard lock(outside_->mu);
    tracking_state_.closed = true;
  }
  outside_->cv.notify_all();
  control_.reset();
  if (requests_) OnRequestLane([this] { CloseHandle(); });
  hm_.main_lane().Run([this] {
    vicc_presence_.reset();
    if (converter_) converter_->Unplug();
    for (Lane* lane : {requests_.get(), tracking_.get()}) {
      if (!lane) continue;
      lane->Stop();
      lane->Join();
    }
  });
}

std::string ReaderSlot::control_path() const { return control_ ? control_->path() : ""; }

bool ReaderSlot::PlugConverter(std::string* error) {
  host::machine::Machine& m = hm_.machine();
  host::machine::Converter& converter = m.Plug(ConverterFor(spec_));
  std::u16string name = converter.device_name();
  if (name.empty()) {
    *error = "the driver made no device for the converter";
    return false;
  }
  converter_ = &converter;
  device_name_ = host::io::Narrow(name.substr(name.rfind(u'\\') + 1));
  if (!requests_) {
    requests_ = std::make_unique<Lane>(m.kernel(), outside_);
    requests_->Spawn("pcscd requests " + device_name_);
    tracking_ = std::make_unique<Lane>(m.kernel(), outside_);
    tracking_->Spawn("pcscd tracking " + device_name_);
  }
  if (vicc_) {
    vicc_presence_ = std::make_unique<sim::VpcdPresence>(m.kernel(), converter.reader(), vicc_);
  }
  return true;
}

bool ReaderSlot::OpenHandle(std::string* error) {
  auto handle = std::make_unique<ReaderHandle>(hm_.machine());
  std::u16string path = converter_->device_name();
  NTSTATUS status = handle->Open(path);
  if (!NT_SUCCESS(status)) {
    *error = "opening " + host::io::Narrow(path) + ": " + host::io::StatusName(status);
    return false;
  }
  if (spec_.rate != kDefaultRate) {
    host::io::IoResult answer = handle->SwitchRate(spec_.rate);
    if (!NT_SUCCESS(answer.status) || !host::machine::ReaderAccepted(answer.output)) {
      *error = "switching the line to " + std::to_string(spec_.rate) +
               " bit/s: " + host::io::StatusName(answer.status);
      handle->Close();
      return false;
    }
  }
  std::lock_guard lock(handle_mu_);
  handle_ = std::move(handle);
  return true;
}

bool ReaderSlot::OnRequestLane(const std::function<void()>& work) { return requests_->Run(work); }

bool ReaderSlot::DeviceGone() { return converter_->reader_interface().empty(); }

void ReaderSlot::CloseHandle() {
  std::lock_guard lock(handle_mu_);
  if (handle_) handle_->Close();
  handle_.reset();
}

IfdAnswer ReaderSlot::Request(Operation operation, uint32_t code, std::span<const uint8_t> input,
                              size_t output_length, NTSTATUS* status_out) {
  IfdAnswer answer{IfdCode::kNoSuchDevice, {}};
  bool gone = false;
  bool ran = OnRequestLane([&] {
    host::io::IoResult result;
    {
      std::lock_guard lock(handle_mu_);
      if (!handle_) {
        gone = true;
        return;
      }
      result = handle_->Control(code, input, ULONG(output_length));
    }
    if (status_out) *status_out = result.status;
    if (!NT_SUCCESS(result.status)) {
      std::fprintf(stderr, "zarq7 ifd: %s: %s: %s\n", device_name_.c_str(),
                   ControlCodeName(code).c_str(), host::io::StatusName(result.status).c_str());
    }
    if (!NT_SUCCESS(result.status) && DeviceGone()) {
      // The resource manager closes its handle when the reader's interface goes away.
      CloseHandle();
      gone = true;
      return;
    }
    answer.code = IfdCodeFor(result.status, operation);
    answer.data = std::move(result.output);
  });
  if (!ran || gone) {
    {
      std::lock_guard lock(outside_->mu);
      tracking_state_.gone = true;
    }
    outside_->cv.notify_all();
    return IfdAnswer{IfdCode::kNoSuchDevice, {}};
  }
  return answer;
}

IfdAnswer ReaderSlot::Power(PowerAction action, size_t atr_capacity) {
  std::vector<UCHAR> input = UlongBytes(PowerCode(action));
  return Request(Operation::kPower, IOCTL_SMARTCARD_POWER, input,
                 action == PowerAction::kDown ? 0 : atr_capacity);
}

IfdCode ReaderSlot::SetProtocol(uint32_t protocol) {
  std::vector<UCHAR> input = UlongBytes(WindowsProtocols(protocol));
  return Request(Operation::kProtocol, IOCTL_SMARTCARD_SET_PROTOCOL, input, sizeof(ULONG)).code;
}

IfdAnswer ReaderSlot::Transmit(uint32_t protocol, std::span<const uint8_t> command,
                               size_t capacity) {
  SCARD_IO_REQUEST header{};
  header.dwProtocol = WindowsProtocols(protocol);
  header.cbPciLength = sizeof header;
  std::vector<UCHAR> input(sizeof header);
  std::memcpy(input.data(), &header, sizeof header);
  input.insert(input.end(), command.begin(), command.end());
  IfdAnswer answer =
      Request(Operation::kTransmit, IOCTL_SMARTCARD_TRANSMIT, input, sizeof header + capacity);
  if (answer.data.size() >= sizeof header) {
    answer.data.erase(answer.data.begin(), answer.data.begin() + sizeof header);
  } else {
    answer.data.clear();
  }
  return answer;
}

IfdCode ReaderSlot::Presence() {
  IfdAnswer answer = Request(Operation::kPresence, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  if (answer.code != IfdCode::kSuccess) return answer.code;
  bool present = UlongOf(answer.data).value_or(SCARD_UNKNOWN) > SCARD_ABSENT;
  {
    std::lock_guard lock(outside_->mu);
    tracking_state_.reported_present = present;
  }
  return present ? IfdCode::kIccPresent : IfdCode::kIccNotPresent;
}

void ReaderSlot::Track(bool present) {
  NTSTATUS status = STATUS_DELETE_PENDING;
  std::optional<host::io::AsyncIo> request;
  {
    std::lock_guard lock(handle_mu_);
    if (handle_) request = present ? handle_->IsPresent() : handle_->IsAbsent();
  }
  // Pends in the driver until the card changes; closing the handle ends it as well.
  if (request) status = request->Wait().status;
  {
    std::lock_guard lock(outside_->mu);
    tracking_state_.finished = true;
    tracking_state_.status = status;
  }
  outside_->cv.notify_all();
}

IfdCode ReaderSlot::WaitForCardEvent(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  OutsideWaits& outside = *outside_;
  std::unique_lock lock(outside.mu);
  Tracking& t = tracking_state_;
  for (;;) {
    if (t.closed || t.gone || outside.machine_ended) return IfdCode::kNoSuchDevice;
    if (t.stop) {
      // A stop ends one wait, the one in progress or else the next: pcscd stops its polling
      // thread (from SCardDisconnect, say) and may start polling again right after.
      t.stop = false;
      return IfdCode::kSuccess;
    }
    if (t.finished) {
      t.pending = t.finished = false;
      // A request refused at once would have pcscd call again at once: it waits a while then.
      return NT_SUCCESS(t.status) ? IfdCode::kSuccess : IfdCodeFor(t.status, Operation::kTracking);
    }
    if (!t.pending) {
      // The request waits for the other state than pcscd last saw.
      bool want_present = !t.reported_present;
      t.pending = true;
      lock.unlock();
      bool posted = tracking_->Post([this, want_present] { Track(want_present); });
      lock.lock();
      if (!posted) return IfdCode::kNoSuchDevice;
      continue;
    }
    // Everything the wait looks at changes under outside.mu with a notification.
    if (outside.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
      // pcscd looks at the card again and comes back; the request stays pending meanwhile.
      return IfdCode::kSuccess;
    }
  }
}

void ReaderSlot::StopWaiting() {
  {
    std::lock_guard lock(outside_->mu);
    tracking_state_.stop = true;
  }
  outside_->cv.notify_all();
}

IfdAnswer ReaderSlot::Control(uint32_t code, std::span<const uint8_t> input, size_t capacity) {
  return Request(Operation::kControl, code, input, capacity);
}

IfdAnswer ReaderSlot::GetAttribute(uint32_t tag, size_t capacity) {
  std::vector<UCHAR> input = UlongBytes(tag);
  return Request(Operation::kAttribute, IOCTL_SMARTCARD_GET_ATTRIBUTE, input, capacity);
}

IfdCode ReaderSlot::SetAttribute(uint32_t tag, std::span<const uint8_t> value) {
  std::vector<UCHAR> input = UlongBytes(tag);
  input.insert(input.end(), value.begin(), value.end());
  return Request(Operation::kAttribute, IOCTL_SMARTCARD_SET_ATTRIBUTE, input, 0).code;
}

// --- the control command ---

ULONG ReaderSlot::CardState() {
  IfdAnswer answer = Request(Operation::kPresence, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  return answer.code == IfdCode::kSuccess ? UlongOf(answer.data).value_or(SCARD_UNKNOWN)
                                          : SCARD_UNKNOWN;
}

std::string ReaderSlot::InsertCard(CardKind kind) {
  if (kind != CardKind::kBuiltin && kind != CardKind::kT0Only) {
    return "error: only builtin and t0 cards can be inserted";
  }
  sim::BuiltinCardOptions options;
  options.seed = spec_.seed;
  options.t0_only = kind == CardKind::kT0Only;
  bool inserted = false;
  hm_.main_lane().Run([&] {
    if (!converter_->plugged()) return;
    converter_->reader().RemoveCard();
    converter_->reader().InsertCard(std::make_shared<sim::BuiltinCard>(options));
    inserted = true;
  });
  if (!inserted) return "error: the converter is unplugged";
  card_in_slot_ = kind;
  return "ok: " + std::string(CardKindName(kind)) + " card inserted in " + device_name_;
}

std::string ReaderSlot::RemoveCard(bool wait_until_seen) {
  hm_.main_lane().Run([&] { converter_->reader().RemoveCard(); });
  card_in_slot_ = CardKind::kNone;
  if (wait_until_seen) {
    auto deadline = std::chrono::steady_clock::now() + kSwapWaitLimit;
    while (CardState() > SCARD_ABSENT) {
      if (std::chrono::steady_clock::now() > deadline) {
        return "error: the driver did not see the card go";
      }
      std::this_thread::sleep_for(kSwapPollInterval);
    }
  }
  return "ok: card removed from " + device_name_;
}

std::string ReaderSlot::Unplug() {
  bool was_plugged = false;
  hm_.main_lane().Run([&] {
    was_plugged = converter_->plugged();
    converter_->Unplug();
  });
  if (!was_plugged) return "error: " + device_name_ + " is already unplugged";
  // What any request would find: the interface is gone, the handle is closed.
  CardState();
  return "ok: " + device_name_ + " unplugged";
}

std::string ReaderSlot::Replug() {
  std::string error;
  bool plugged = false;
  hm_.main_lane().Run([&] {
    if (converter_->plugged()) {
      error = "error: " + device_name_ + " is plugged in";
      return;
    }
    vicc_presence_.reset();
    plugged = PlugConverter(&error);
  });
  if (!plugged) return error.empty() ? "error: the machine has ended" : error;
  bool opened = false;
  OnRequestLane([&] { opened = OpenHandle(&error); });
  if (!opened) return "error: " + error;
  {
    std::lock_guard lock(outside_->mu);
    tracking_state_.gone = false;
  }
  card_in_slot_ = spec_.card;
  return "ok: plugged in again as " + device_name_;
}

std::string ReaderSlot::Status() {
  ULONG state = CardState();
  bool plugged = false;
  hm_.main_lane().Run([&] { plugged = converter_->plugged(); });
  return "ok: " + device_name_ + (plugged ? "" : " unplugged") + ", card " +
         std::string(CardKindName(card_in_slot_)) + ", driver's card state " + StateName(state) +
         ", " + std::to_string(spec_.rate) + " bit/s";
}

std::string ReaderSlot::Command(std::string_view request) {
  std::string_view verb = request.substr(0, request.find(' '));
  std::string_view argument =
      verb.size() < request.size() ? request.substr(verb.size() + 1) : std::string_view();
  std::optional<CardKind> kind =
      argument.empty()
          ? std::optional<CardKind>(spec_.card == CardKind::kT0Only ? CardKind::kT0Only
                                                                    : CardKind::kBuiltin)
          : CardKindFromName(argument);
  if (verb == "insert" || verb == "swap") {
    if (!kind) return "error: unknown card \"" + std::string(argument) + "\"";
    if (verb == "swap") {
      std::string removed = RemoveCard(true);
      if (removed.rfind("ok", 0) != 0) return removed;
    }
    return InsertCard(*kind);
  }
  if (!argument.empty()) return "error: " + std::string(verb) + " takes no argument";
  if (verb == "remove") return RemoveCard(false);
  if (verb == "unplug") return Unplug();
  if (verb == "plug") return Replug();
  if (verb == "status") return Status();
  return "error: unknown request \"" + std::string(verb) +
         "\" (insert [builtin|t0], remove, swap builtin|t0, unplug, plug, status)";
}

}  // namespace pcsc
