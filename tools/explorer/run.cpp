#include "tools/explorer/run.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <set>

#include "control/private_interface.h"
#include "host/io/io_manager.h"
#include "host/io/system_irp.h"
#include "host/kernel/pool.h"
#include "host/machine/machine.h"
#include "host/machine/reader_handle.h"
#include "sim/cards/builtin_card.h"
#include "sim/converter/converter_descriptors.h"
#include "sim/converter/converter_protocol.h"
#include "sim/reader_profile.h"
#include "tools/converter_control.h"
#include "tools/fault_matrix/recording_card.h"
#include "tools/fault_matrix/session_plan.h"
#include "tools/tool_machine.h"

namespace explorer {

namespace {

using host::io::IoResult;
using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::machine::ReaderHandle;
using Bytes = std::vector<uint8_t>;
namespace cv = sim::converter;

// Every request completes within this much virtual time: the link's retries and resynchronisation
// behind another actor's request holding the link, a sleep, an outage of the reader.
constexpr Ticks kRequestBound = Seconds(150);
// The monitor looks at the requests in flight this often.
constexpr Ticks kMonitorPeriod = Milliseconds(500);
// The driver asks the reader for the card's state every 1.2 s: a state older than this is known.
constexpr Ticks kCardSettled = Seconds(3);
// Once the faults have ended, a clean session must go through within this much time.
constexpr Ticks kQuiescenceBound = Seconds(90);
constexpr Ticks kPoll = Milliseconds(10);
constexpr Ticks kShutdownBound = Seconds(60);
constexpr char kHungMarker[] = "explorer: request past its bound: ";
constexpr char kShutdownMarker[] = "verifier at shutdown";

uint64_t Fnv(uint64_t h, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}
constexpr uint64_t kFnvBasis = 0xCBF29CE484222325ull;

std::string Hex(const Bytes& bytes, size_t most = 12) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < bytes.size() && i < most; ++i) {
    if (i) s += ' ';
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  if (bytes.size() > most) s += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return s;
}

// The commands an application sends the built-in card, and the card's answers.
struct CardCommand {
  Bytes command, answer;
};
CardCommand Command(uint32_t which) {
  auto pattern = [](size_t n) {
    CardCommand c{{sim::kClaProprietary, sim::kInsReadPattern, uint8_t(n >> 8), uint8_t(n)}, {}};
    for (size_t i = 0; i < n; ++i) c.answer.push_back(uint8_t(i));
    c.answer.insert(c.answer.end(), {0x90, 0x00});
    return c;
  };
  auto write = [](size_t n, bool spoilt) {
    CardCommand c{{sim::kClaProprietary, sim::kInsWritePattern, 0, 0, uint8_t(n)}, {0x90, 0x00}};
    for (size_t i = 0; i < n; ++i) c.command.push_back(uint8_t(i));
    if (spoilt) {
      c.command.back() ^= 0xFF;
      c.answer = {0x6A, 0x80};
    }
    return c;
  };
  switch (which) {
    case 0:
      return {{0x00, sim::kInsSelect, 0x00, 0x0C, 0x02, 0x3F, 0x00}, {0x90, 0x00}};
    case 1:
      return pattern(0);
    case 2:
      return pattern(1);
    case 3:
      return pattern(16);
    case 4:
      return pattern(200);
    case 5:
      return pattern(254);
    case 6:
      return pattern(256);
    case 7:
      return write(1, false);
    case 8:
      return write(60, true);
    case 9:
      return write(255, false);
    case 10:
      return {{sim::kClaProprietary, 0x77, 0, 0}, {0x6D, 0x00}};
    default:
      return write(180, false);
  }
}

const ULONG kAttributes[] = {SCARD_ATTR_VENDOR_NAME,     SCARD_ATTR_VENDOR_IFD_TYPE,
                             SCARD_ATTR_CHANNEL_ID,      SCARD_ATTR_PROTOCOL_TYPES,
                             SCARD_ATTR_MAX_IFSD,        SCARD_ATTR_CURRENT_PROTOCOL_TYPE,
                             SCARD_ATTR_CHARACTERISTICS, SCARD_ATTR_VENDOR_IFD_VERSION};

const ULONG kPrivateCodes[] = {IOCTL_REZOVO_GET_PIPE_INFO,
                               IOCTL_REZOVO_GET_DEVICE_DESCRIPTOR,
                               IOCTL_REZOVO_GET_CONFIGURATION_DESCRIPTOR,
                               IOCTL_REZOVO_UNUSED_805,
                               IOCTL_REZOVO_GET_INFO,
                               IOCTL_REZOVO_GET_STRING_DESCRIPTOR,
                               IOCTL_REZOVO_NOP,
                               IOCTL_REZOVO_SET_PORT_VALUE,
                               IOCTL_REZOVO_READ_PORT,
                               IOCTL_REZOVO_WRITE_PORT_DATA,
                               IOCTL_REZOVO_COMMAND,
                               IOCTL_REZOVO_INTERFACE};
constexpr uint32_t kPrivateCount = sizeof(kPrivateCodes) / sizeof(kPrivateCodes[0]);

uint16_t RateCode(uint32_t rate) {
  switch (rate) {
    case 19200:
      return cv::kRate19200;
    case 38400:
      return cv::kRate38400;
    case 57600:
      return cv::kRate57600;
    case 115200:
      return cv::kRate115200;
    default:
      return cv::kRate9600;
  }
}

Bytes CommandRecord(uint8_t sub_command, uint16_t value, uint16_t index = 0) {
  Bytes r = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
  r[COMMAND_RECORD_SUBCOMMAND] = sub_command;
  r[COMMAND_RECORD_VALUE] = uint8_t(value);
  r[COMMAND_RECORD_VALUE + 1] = uint8_t(value >> 8);
  r[COMMAND_RECORD_INDEX] = uint8_t(index);
  r[COMMAND_RECORD_INDEX + 1] = uint8_t(index >> 8);
  return r;
}

bool IsGoneStatus(NTSTATUS s) {
  // STATUS_DEVICE_DATA_ERROR is what device-control, read and write answer once the device is no
  // longer usable (removal begun, the converter gone).
  return s == STATUS_DEVICE_NOT_CONNECTED || s == STATUS_DELETE_PENDING ||
         s == STATUS_NO_SUCH_DEVICE || s == STATUS_DEVICE_REMOVED || s == STATUS_DEVICE_DATA_ERROR;
}

// What a transmission may not fail with while the card is in and settled, the line sound and
// nothing but questions, waits and purges on the device: the link recovers what a purge threw
// away, and a reply that came is not waited for until a time-out.
const std::set<NTSTATUS> kLinkFailures = {STATUS_IO_TIMEOUT, STATUS_DEVICE_PROTOCOL_ERROR,
                                          STATUS_CRC_ERROR, STATUS_UNSUCCESSFUL,
                                          STATUS_DEVICE_DATA_ERROR};

// Failures any request may meet in a machine where the actors do what they do: the card or the
// converter gone, the device stopped or asleep, the link given up, cancelled, out of pool.
const std::set<NTSTATUS> kPlausibleFailures = {
    STATUS_NO_MEDIA, STATUS_IO_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING,
    STATUS_DEVICE_NOT_READY, STATUS_CANCELLED, STATUS_UNRECOGNIZED_MEDIA,
    STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_POWERED_OFF, STATUS_INSUFFICIENT_RESOURCES,
    STATUS_DEVICE_PROTOCOL_ERROR, STATUS_DEVICE_DATA_ERROR, STATUS_UNSUCCESSFUL,
    STATUS_NO_SUCH_DEVICE, STATUS_INVALID_HANDLE, STATUS_DEVICE_BUSY, STATUS_DEVICE_REMOVED,
    STATUS_OBJECT_NAME_NOT_FOUND,
    // A pipe opened while the application's handle is open (the device admits one).
    STATUS_ACCESS_DENIED,
    // With the reading thread stopped by the tool the link reads the converter directly, a
    // packet at a time: a longer read is refused.
    STATUS_INVALID_USER_BUFFER, STATUS_INVALID_READ_MODE,
    // A block the line damaged past the link's retries.
    STATUS_CRC_ERROR};
// What a caller's own mistake (a length, a code, a protocol, a setting) may bring.
const std::set<NTSTATUS> kRefusals = {STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,
                                      STATUS_NOT_SUPPORTED,     STATUS_INVALID_DEVICE_REQUEST,
                                      STATUS_BUFFER_OVERFLOW,   STATUS_NOT_IMPLEMENTED};

// The devices of the plan as the actors and the model see them.
struct Slot {
  host::machine::ConverterOptions plug;
  std::shared_ptr<fault_matrix::RecordingCard> card;
  host::machine::Converter* converter = nullptr;
  std::unique_ptr<ReaderHandle> handle;  // the application's, shared with the tool
  int epoch = 0;                         // plug-ins so far
  int handle_epoch = -1;                 // the plug-in the handle was opened on
  int gone_epoch = -1;                   // the last plug-in pulled out
  bool card_in = true;
  bool stopped = false;
  // A close of the shared handle in progress: the others leave it alone (a handle is closed once,
  // as an application's threads agree among themselves).
  bool closing = false;
  // The tool stopped the reading thread: the link, reading the converter a packet at a time,
  // cannot keep up with the reader, and the card's state goes unseen.
  bool reading_stopped = false;
  // A start failed for want of pool: Plug and Play removed the device, which comes back only when
  // the converter is plugged in again.
  bool start_failed = false;
  Ticks disturbed = 0;  // the last time the card, the device or its power changed
  // Operations in progress, and begun so far, that may fairly make a transmission fail: all but
  // the ones that only ask, wait, purge or send what the device refuses (Unsettling()).
  int unsettling = 0;
  uint64_t unsettled = 0;
  // The tool set the converter's line or modem lines or wrote to its port itself: the link may
  // take any time to find its way back, and transmissions on the device are judged no more.
  bool line_changed = false;
  Ticks noisy_until = 0;
  Ticks pulled_at = -1;  // the last time the converter was pulled out
};

struct Request {
  Ticks start = 0;
  Ticks bound = kRequestBound;
  std::string what;
};

// The requests in flight, shared with the monitor, which outlives the run's body (a daemon ends
// only when the machine shuts down).
struct Watch {
  Ticks t0 = 0;
  std::map<uint64_t, Request> inflight;
};

struct Interval {
  Ticks start = 0, end = 0;
  int device = 0;
  std::string op;
};

class Run {
 public:
  Run(const Plan& plan, host::machine::Machine& m, RunOutcome& out)
      : plan_(plan), m_(m), out_(out) {}

  void Body();

 private:
  // --- bookkeeping ---
  uint64_t Begin(const std::string& what, Ticks bound = kRequestBound) {
    uint64_t id = next_id_++;
    watch_->inflight[id] = Request{m_.Now(), bound, what};
    return id;
  }
  void End(uint64_t id) { watch_->inflight.erase(id); }
  void Fail(const std::string& category, const std::string& problem) {
    if (out_.ok) {
      out_.ok = false;
      out_.category = category;
      out_.problem = problem;
    }
    out_.log.push_back("!! " + category + ": " + problem);
  }
  void Record(const Op& op, Ticks start, const std::string& state, NTSTATUS status,
              const Bytes& output, const std::string& note = "");
  std::string StateOf(int device);

  // --- actors ---
  void Actor(const std::vector<Op>& ops);
  void Execute(const Op& op);
  void App(const Op& op);
  void Tool(const Op& op);
  void System(const Op& op);
  void Bus(const Op& op);
  bool EnsureOpen(Slot& slot);
  void Check(const Op& op, Slot& slot, Ticks start, bool removed, bool card_known, bool card_in,
             const IoResult& r, size_t card_exchanges, const CardCommand* command,
             bool quiet = false);
  IoResult Waiting(const Op& op, Slot& slot, bool present, bool close);
  // `began`, `ended`: when the read itself was sent and completed (the handle it closes first and
  // its file's open and close may take longer).
  IoResult PipeRead(Slot& slot, Ticks wait, Ticks* began, Ticks* ended);
  IoResult PipeWrite(Slot& slot, size_t bytes);
  void Quiesce();
  void ResourceManager();

  const Plan& plan_;
  host::machine::Machine& m_;
  RunOutcome& out_;
  std::vector<Slot> slots_;
  std::shared_ptr<Watch> watch_ = std::make_shared<Watch>();
  uint64_t next_id_ = 1;
  std::vector<Interval> intervals_;
  Ticks t0_ = 0;
  bool asleep_ = false;
  bool pool_faults_ = false;
  bool actors_done_ = false;
};

void Monitor(host::machine::Machine& m, std::shared_ptr<Watch> watch) {
  for (;;) {
    m.kernel().SleepFor(kMonitorPeriod);
    for (const auto& [id, r] : watch->inflight) {
      if (m.Now() - r.start > r.bound) {
        std::string text = kHungMarker + r.what + ", pending since " +
                           std::to_string((r.start - watch->t0) / Milliseconds(1)) + " ms";
        m.kernel().BugCheck("explorer", text);
      }
    }
  }
}

std::string Run::StateOf(int device) {
  Slot& s = slots_[device];
  std::string state = "device:";
  if (!s.converter->plugged()) {
    state += "unplugged";
  } else {
    host::io::DeviceState d = s.converter->state();
    state += d == host::io::DeviceState::kStarted   ? "started"
             : d == host::io::DeviceState::kStopped ? "stopped"
                                                    : "other";
  }
  state += asleep_ ? " power:asleep" : " power:awake";
  state += s.converter->plugged() && s.converter->converter().line_settings().bit_rate != 9600
               ? " link:fast"
               : " link:9600";
  state += s.converter->reader().card_present() ? " card:in" : " card:out";
  return state;
}

void Run::Record(const Op& op, Ticks start, const std::string& state, NTSTATUS status,
                 const Bytes& output, const std::string& note) {
  Ticks end = m_.Now();
  std::string line = "[" + std::to_string((start - t0_) / Milliseconds(1)) + "-" +
                     std::to_string((end - t0_) / Milliseconds(1)) + " ms] " + ActorName(op.actor) +
                     " " + OpName(op.kind) + " " + std::to_string(op.arg) + ": " +
                     host::io::StatusName(status);
  if (!output.empty()) line += " [" + Hex(output) + "]";
  if (!note.empty()) line += " " + note;
  out_.digest = Fnv(out_.digest, line.data(), line.size());
  out_.digest = Fnv(out_.digest, output.data(), output.size());
  out_.log.push_back(line);
  ++out_.requests;
  intervals_.push_back({start, end, op.actor.device, OpName(op.kind)});
  std::string name = OpName(op.kind);
  std::string rest = state;
  for (size_t at = 0; at != std::string::npos;) {
    size_t space = rest.find(' ', at);
    out_.coverage.states[name][rest.substr(at, space - at)]++;
    at = space == std::string::npos ? space : space + 1;
  }
}

// The URBs that reached the converter after `since`, described ("" for none).
std::string SentWhileStopped(host::machine::Converter& converter, Ticks since) {
  size_t count = 0;
  std::string first;
  for (const host::usb::UrbRecord& urb : converter.Urbs()) {
    if (urb.submitted <= since) continue;
    if (count++ == 0)
      first =
          host::usb::UrbFunctionName(urb.function) + " on endpoint " + std::to_string(urb.endpoint);
  }
  if (count == 0) return "";
  return std::to_string(count) + " URBs sent to the stopped converter, the first " + first;
}

void CloseShared(Slot& slot) {
  if (slot.closing || !slot.handle->is_open()) return;
  slot.closing = true;
  slot.handle->Close();
  slot.closing = false;
}

bool Run::EnsureOpen(Slot& slot) {
  if (slot.closing) return false;
  if (slot.handle->is_open()) return true;
  if (!slot.converter->plugged() || slot.converter->device_name().empty()) return false;
  NTSTATUS s = slot.handle->Open(slot.converter->device_name());
  if (s == STATUS_SUCCESS) slot.handle_epoch = slot.epoch;
  return s == STATUS_SUCCESS;
}

void Run::Actor(const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    Ticks due = t0_ + op.at;
    if (m_.Now() < due) m_.kernel().SleepFor(due - m_.Now());
    Execute(op);
  }
}

// Whether an operation may fairly make a transmission on its device fail while it is in progress.
bool Unsettling(const Op& op) {
  switch (op.kind) {
    case OpKind::kGetState:
    case OpKind::kAttribute:
    case OpKind::kTransmit:
    case OpKind::kPresentWait:
    case OpKind::kAbsentWait:
    case OpKind::kPurge:
    case OpKind::kWmi:
    case OpKind::kDamagedPlug:
      return false;
    case OpKind::kPrivate: {
      // Requests with hostile lengths are refused; of the others, only those that write to the
      // converter, read its port or select its interface touch the link.
      if (op.arg >= kPrivateCount) return false;
      ULONG code = kPrivateCodes[op.arg];
      return code == IOCTL_REZOVO_SET_PORT_VALUE || code == IOCTL_REZOVO_READ_PORT ||
             code == IOCTL_REZOVO_WRITE_PORT_DATA || code == IOCTL_REZOVO_INTERFACE;
    }
    default:
      return true;
  }
}

void Run::Execute(const Op& op) {
  Slot& slot = slots_[op.actor.device];
  bool unsettling = Unsettling(op);
  if (unsettling) {
    ++slot.unsettling;
    ++slot.unsettled;
  }
  if (op.actor.kind == ActorKind::kTool &&
      (op.kind == OpKind::kLineSettings || op.kind == OpKind::kModemLines ||
       (op.kind == OpKind::kRawCommand && op.arg != 0) ||
       (op.kind == OpKind::kPrivate && unsettling)))
    slot.line_changed = true;
  if (op.kind == OpKind::kNoise)
    slot.noisy_until = std::max(slot.noisy_until, m_.Now() + Milliseconds(op.arg) + kCardSettled);
  switch (op.actor.kind) {
    case ActorKind::kApp:
      App(op);
      break;
    case ActorKind::kTool:
      Tool(op);
      break;
    case ActorKind::kSystem:
      System(op);
      break;
    case ActorKind::kBus:
      Bus(op);
      break;
  }
  if (unsettling) --slot.unsettling;
}

// Whether what came back is what the model allows; the first wrong one fails the run.
void Run::Check(const Op& op, Slot& slot, Ticks start, bool removed, bool card_known, bool card_in,
                const IoResult& r, size_t card_exchanges, const CardCommand* command, bool quiet) {
  std::string what = ActorName(op.actor) + " " + OpName(op.kind) + " " + std::to_string(op.arg) +
                     " at " + std::to_string((start - t0_) / Milliseconds(1)) + " ms";
  if (r.status == STATUS_PENDING) {
    Fail("status", what + ": completed with STATUS_PENDING");
    return;
  }
  if (m_.Now() - start > kRequestBound) {
    Fail("hang", what + ": took " + std::to_string((m_.Now() - start) / Milliseconds(1)) + " ms");
    return;
  }
  bool success = NT_SUCCESS(r.status);
  if (!success && !kPlausibleFailures.count(r.status) && !kRefusals.count(r.status)) {
    Fail("status", what + ": " + host::io::StatusName(r.status) + " is no status for it");
    return;
  }
  if (quiet && op.kind == OpKind::kTransmit && kLinkFailures.count(r.status)) {
    Fail("status", what + ": " + host::io::StatusName(r.status) +
                       " with the card in and settled, the line sound and nothing but questions, "
                       "waits and purges on the device");
    return;
  }
  bool reaches_card = op.kind == OpKind::kTransmit || op.kind == OpKind::kPower;
  // The card's own answers, where the request succeeded.
  if (success && op.kind == OpKind::kTransmit && command && r.output != command->answer &&
      !slot.card->AnsweredAnotherCommand(card_exchanges, command->command, r.output)) {
    Fail("corrupted", what + ": answered [" + Hex(r.output, 300) + "], the card's answer is [" +
                          Hex(command->answer, 300) + "]");
    return;
  }
  if (success && op.kind == OpKind::kPower && op.arg != 2 &&
      r.output != sim::BuiltinCard::DualProtocolAtr()) {
    Fail("corrupted", what + ": ATR [" + Hex(r.output, 40) + "] is not the card's");
    return;
  }
  if (success && op.kind == OpKind::kGetState) {
    std::optional<ULONG> state = host::machine::OutputUlong(r);
    if (!state || *state < SCARD_ABSENT || *state > SCARD_SPECIFIC) {
      Fail("corrupted", what + ": no card state [" + Hex(r.output) + "]");
      return;
    }
    if (card_known && card_in && *state == SCARD_ABSENT) {
      Fail("corrupted", what + ": SCARD_ABSENT with the card in the slot for seconds");
      return;
    }
    if (card_known && !card_in && *state != SCARD_ABSENT) {
      Fail("corrupted", what + ": state " + std::to_string(*state) + " with the slot empty");
      return;
    }
  }
  if (removed && success && (reaches_card || op.kind == OpKind::kSetProtocol)) {
    Fail("corrupted", what + ": succeeded on a device pulled out before it began");
    return;
  }
  if (removed && !success && !IsGoneStatus(r.status) && r.status != STATUS_CANCELLED &&
      r.status != STATUS_OBJECT_NAME_NOT_FOUND && r.status != STATUS_INVALID_HANDLE &&
      !kRefusals.count(r.status)) {
    Fail("status", what + ": " + host::io::StatusName(r.status) + " on a device pulled out");
    return;
  }
  if (card_known && !card_in && reaches_card && op.arg != 2 && success) {
    Fail("corrupted", what + ": succeeded with no card in the slot");
    return;
  }
}

void Run::App(const Op& op) {
  Slot& slot = slots_[op.actor.device];
  Ticks start = m_.Now();
  std::string state = StateOf(op.actor.device);
  if (op.kind == OpKind::kReopen) {
    CloseShared(slot);
    bool opened = EnsureOpen(slot);
    Record(op, start, state, opened ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, {});
    return;
  }
  if (!EnsureOpen(slot)) {
    Record(op, start, state, STATUS_NO_SUCH_DEVICE, {}, "(no device to open)");
    return;
  }
  bool removed = slot.handle_epoch <= slot.gone_epoch;
  Ticks settled_since = slot.disturbed;
  bool card_in = slot.card_in;
  size_t exchanges = slot.card->exchanges();
  // Nothing that may fairly break a transmission is in progress on the device (but this one).
  bool quiet_from_start = slot.unsettling == 0 && !slot.line_changed && start > slot.noisy_until;
  uint64_t unsettled = slot.unsettled;
  uint64_t id = Begin(ActorName(op.actor) + " " + OpName(op.kind));
  IoResult r;
  std::optional<CardCommand> command;
  switch (op.kind) {
    case OpKind::kGetState:
      r = slot.handle->Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
      break;
    case OpKind::kAttribute:
      r = slot.handle->GetAttribute(kAttributes[op.arg % 8], op.arg % 3 == 2 ? 2 : 64);
      break;
    case OpKind::kPower:
      r = slot.handle->Power(op.arg == 0   ? SCARD_COLD_RESET
                             : op.arg == 1 ? SCARD_WARM_RESET
                                           : SCARD_POWER_DOWN);
      break;
    case OpKind::kSetProtocol:
      r = slot.handle->SetProtocol(op.arg == 0   ? SCARD_PROTOCOL_T1
                                   : op.arg == 1 ? SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1
                                                 : SCARD_PROTOCOL_T0);
      break;
    case OpKind::kTransmit:
      command = Command(op.arg);
      r = slot.handle->Transmit(command->command);
      break;
    case OpKind::kPresentWait:
    case OpKind::kAbsentWait:
    case OpKind::kCloseWaiting:
      End(id);
      id = 0;
      r = Waiting(op, slot, op.kind == OpKind::kPresentWait, op.kind == OpKind::kCloseWaiting);
      break;
    default:
      break;
  }
  if (id) End(id);
  // The card's state is known when nothing changed it, the device or its power for a while
  // before the request and while it ran, and no pool allocation may have failed.
  bool card_known = !pool_faults_ && !asleep_ && slot.disturbed == settled_since &&
                    start - settled_since > kCardSettled && !removed && !slot.stopped &&
                    !slot.reading_stopped && slot.converter->plugged();
  bool quiet = card_known && card_in && quiet_from_start && slot.unsettled == unsettled &&
               !slot.line_changed && m_.Now() > slot.noisy_until;
  Record(op, start, state, r.status, r.output);
  Check(op, slot, start, removed, card_known, card_in, r, exchanges, command ? &*command : nullptr,
        quiet);
  if (IsGoneStatus(r.status) && slot.handle->is_open() && slot.handle_epoch <= slot.gone_epoch) {
    CloseShared(slot);  // as the resource manager does with a reader that went
  }
}

IoResult Run::Waiting(const Op& op, Slot& slot, bool present, bool close) {
  uint64_t id = Begin(ActorName(op.actor) + " " + OpName(op.kind), kRequestBound + op.arg);
  host::io::AsyncIo wait = present ? slot.handle->IsPresent() : slot.handle->IsAbsent();
  Ticks until = m_.Now() + (close ? Milliseconds(50) : Milliseconds(op.arg));
  while (!wait.done() && m_.Now() < until) m_.kernel().SleepFor(kPoll);
  if (!wait.done()) {
    if (close) {
      CloseShared(slot);
    } else {
      slot.handle->CancelIo();
    }
  }
  IoResult r = wait.Wait();
  End(id);
  if (close) EnsureOpen(slot);
  return r;
}

IoResult Run::PipeRead(Slot& slot, Ticks wait, Ticks* began, Ticks* ended) {
  // The device admits one handle: the tool has it to itself for its pipe, whatever the
  // application's threads are doing on theirs.
  CloseShared(slot);
  host::io::Application app(m_.io());
  host::io::Handle h = host::io::kInvalidHandle;
  IoResult r;
  r.status = app.Open(slot.converter->device_name() + u"\\PIPE00", &h);
  if (r.status != STATUS_SUCCESS) return r;
  *began = m_.Now();
  host::io::AsyncIo read = app.ReadAsync(h, 64);
  for (Ticks until = m_.Now() + wait; !read.done() && m_.Now() < until;)
    m_.kernel().SleepFor(kPoll);
  if (!read.done()) app.CancelIo(h);
  r = read.Wait();
  *ended = m_.Now();
  app.Close(h);
  return r;
}

IoResult Run::PipeWrite(Slot& slot, size_t bytes) {
  CloseShared(slot);
  host::io::Application app(m_.io());
  host::io::Handle h = host::io::kInvalidHandle;
  IoResult r;
  r.status = app.Open(slot.converter->device_name() + u"\\PIPE01", &h);
  if (r.status != STATUS_SUCCESS) return r;
  Bytes data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = uint8_t(0xA0 + i);
  r = app.Write(h, data);
  app.Close(h);
  return r;
}

void Run::Tool(const Op& op) {
  Slot& slot = slots_[op.actor.device];
  Ticks start = m_.Now();
  std::string state = StateOf(op.actor.device);
  if (op.kind != OpKind::kWmi && op.kind != OpKind::kPipeRead && op.kind != OpKind::kPipeWrite &&
      !EnsureOpen(slot)) {
    Record(op, start, state, STATUS_NO_SUCH_DEVICE, {}, "(no device to open)");
    return;
  }
  // The pipes and WMI are reached by a file of their own (or none) on the converter plugged in
  // now: the shared handle's plug-in says nothing of them, whether it was pulled or never opened.
  bool own_file =
      op.kind == OpKind::kWmi || op.kind == OpKind::kPipeRead || op.kind == OpKind::kPipeWrite;
  bool removed = !own_file && slot.handle_epoch <= slot.gone_epoch;
  uint64_t id = Begin(ActorName(op.actor) + " " + OpName(op.kind));
  Ticks read_began = start, read_ended = start;
  ReaderHandle& h = *slot.handle;
  tools::HandleReader requests(h);
  tools::ConverterControl control(requests);
  IoResult r;
  switch (op.kind) {
    case OpKind::kPrivate: {
      ULONG code = kPrivateCodes[op.arg % kPrivateCount];
      bool hostile = op.arg >= kPrivateCount;
      Bytes input = code == IOCTL_REZOVO_GET_STRING_DESCRIPTOR ? Bytes{1, 0}
                    : code == IOCTL_REZOVO_COMMAND ? CommandRecord(COMMAND_READ_COUNTERS, 0)
                                                   : Bytes(10, 0);
      ULONG output = 256;
      if (hostile) {
        input.resize(op.arg % 3 == 0 ? 0 : op.arg % 3 == 1 ? 1 : 4096, 0x5A);
        output = op.arg % 2 ? 0 : 3;
      }
      r = h.Control(code, input, output);
      break;
    }
    case OpKind::kSelectSetting:
      r.status = control.SelectSetting(uint8_t(op.arg));
      break;
    case OpKind::kReading: {
      const uint16_t codes[] = {tools::kStopPermanentReading, tools::kStartPermanentReading,
                                tools::kSetReadingThread, tools::kSetReadingThread};
      r.status = control.Driver(codes[op.arg % 4], op.arg == 3 ? 1 : 0);
      if (op.arg == 2) slot.reading_stopped = true;
      if (op.arg == 3 && r.status == STATUS_SUCCESS) slot.reading_stopped = false;
      slot.disturbed = m_.Now();
      break;
    }
    case OpKind::kPurge:
      if (op.arg < 2) {
        r.status =
            control.Purge(op.arg == 0 ? tools::kIoctlPurgeTransmit : tools::kIoctlPurgeReceive);
      } else {
        r = h.Control(IOCTL_REZOVO_COMMAND, CommandRecord(COMMAND_WRITE_PURGE, 0x0F), 10);
      }
      break;
    case OpKind::kLineSettings:
      r = h.Control(IOCTL_REZOVO_COMMAND,
                    CommandRecord(COMMAND_WRITE_LINE_SETTINGS, RateCode(kRates[op.arg])), 10);
      break;
    case OpKind::kModemLines:
      if (op.arg != 2)
        r = h.Control(IOCTL_REZOVO_COMMAND, CommandRecord(COMMAND_WRITE_MODEM_LINES, cv::kDtrOff),
                      10);
      if (op.arg == 0) m_.Wait(Milliseconds(100));
      if (op.arg != 1)
        r = h.Control(IOCTL_REZOVO_COMMAND, CommandRecord(COMMAND_WRITE_MODEM_LINES, cv::kDtrOn),
                      10);
      break;
    case OpKind::kRawCommand:
      if (op.arg == 0) {
        const UCHAR status[] = {0x20, 0x13, 0x00, 0x80, 0x00};
        r = h.RawReaderCommand(status);
      } else {
        r = h.SwitchRate(kRates[(op.arg - 1) % kRateCount]);
      }
      break;
    case OpKind::kPipeRead:
      r = slot.converter->plugged() ? PipeRead(slot, Milliseconds(op.arg), &read_began, &read_ended)
                                    : IoResult{STATUS_NO_SUCH_DEVICE, 0, {}};
      break;
    case OpKind::kPipeWrite:
      r = slot.converter->plugged() ? PipeWrite(slot, op.arg + 1)
                                    : IoResult{STATUS_NO_SUCH_DEVICE, 0, {}};
      break;
    case OpKind::kWmi:
      // WMI takes the stack's top with a reference of its own and sends its request arg ms later:
      // a removal may begin, or end with the device deleted, in between (the reference keeps the
      // device object's memory, not the device).
      if (!slot.converter->device_name().empty()) {
        PDEVICE_OBJECT top = m_.io().AttachedDevice(slot.converter->pdo());
        m_.io().ReferenceDevice(top);
        if (op.arg > 0) m_.Wait(Milliseconds(op.arg));
        r.status = host::io::SendSystemIrp(m_.io(), top, "WMI", IRP_MJ_SYSTEM_CONTROL, 0,
                                           [](PIRP, PIO_STACK_LOCATION) {})
                       .status;
        m_.io().DereferenceDevice(top);
      } else {
        r.status = STATUS_NO_SUCH_DEVICE;
      }
      break;
    default:
      break;
  }
  End(id);
  Record(op, start, state, r.status, r.output);
  // A read waiting when its converter is pulled out fails: it does not "succeed" with no byte.
  // One that timed out before the pull, or at its very moment, came first (the port's time-outs
  // are the link's, which change with the line rate; the file's close may end later); one sent
  // after it went to the converter plugged in again.
  if (op.kind == OpKind::kPipeRead && slot.pulled_at > read_began && read_ended > slot.pulled_at &&
      NT_SUCCESS(r.status) && r.output.empty()) {
    Fail("status", ActorName(op.actor) + " pipe-read " + std::to_string(op.arg) + " at " +
                       std::to_string((start - t0_) / Milliseconds(1)) +
                       " ms: " + host::io::StatusName(r.status) + " with no byte " +
                       std::to_string((read_ended - slot.pulled_at) / Milliseconds(1)) +
                       " ms after the converter was pulled out under it");
    return;
  }
  Check(op, slot, start, removed, false, true, r, 0, nullptr);
}

void Run::System(const Op& op) {
  Slot& slot = slots_[op.actor.device];
  Ticks start = m_.Now();
  std::string state = StateOf(op.actor.device);
  NTSTATUS status = STATUS_SUCCESS;
  std::string note;
  uint64_t id = Begin(ActorName(op.actor) + " " + OpName(op.kind), kRequestBound + op.arg);
  auto disturb = [&] { slot.disturbed = m_.Now(); };
  switch (op.kind) {
    case OpKind::kStopStart:
      // Plug and Play does not rebalance a sleeping system, nor stop a device whose start failed
      // (at a plug-in under a pool failure: its stack is gone until it is plugged in again).
      if (!slot.converter->plugged() || slot.stopped || asleep_ ||
          slot.converter->device_name().empty()) {
        note = "(skipped)";
        break;
      }
      slot.stopped = true;
      disturb();
      status = slot.converter->Stop();
      {
        // A stopped device has given up its configuration until the next start: whatever the
        // others ask of it meanwhile, nothing may reach the converter.
        Ticks stopped_at = m_.Now();
        m_.Wait(Milliseconds(op.arg));
        if (status == STATUS_SUCCESS) note = SentWhileStopped(*slot.converter, stopped_at);
      }
      if (status == STATUS_SUCCESS) {
        status = slot.converter->Start();
      }
      slot.stopped = status != STATUS_SUCCESS;
      disturb();
      break;
    case OpKind::kUnplug:
      if (!slot.converter->plugged()) {
        note = "(skipped)";
        break;
      }
      slot.gone_epoch = slot.epoch;
      disturb();
      slot.pulled_at = m_.Now();
      slot.converter->Unplug();
      m_.Wait(Milliseconds(op.arg));
      slot.converter = &m_.Plug(slot.plug);
      ++slot.epoch;
      slot.stopped = false;
      slot.start_failed = false;
      slot.reading_stopped = false;
      slot.card_in = true;
      disturb();
      break;
    case OpKind::kSleep:
      if (asleep_ || std::any_of(slots_.begin(), slots_.end(),
                                 [](const Slot& other) { return other.stopped; })) {
        note = "(skipped)";
        break;
      }
      asleep_ = true;
      for (Slot& s : slots_) s.disturbed = m_.Now();
      status = m_.Sleep();
      m_.Wait(Milliseconds(op.arg));
      if (status == STATUS_SUCCESS) status = m_.Wake();
      asleep_ = false;
      for (Slot& s : slots_) s.disturbed = m_.Now();
      break;
    case OpKind::kCardOut:
      if (!slot.card_in) {
        note = "(skipped)";
        break;
      }
      slot.converter->reader().RemoveCard();
      slot.card_in = false;
      disturb();
      if (op.arg > 0) {
        m_.Wait(Milliseconds(op.arg));
        slot.converter->reader().InsertCard(slot.card);
        slot.card_in = true;
        disturb();
      }
      break;
    case OpKind::kCardIn:
      if (slot.card_in) {
        note = "(skipped)";
        break;
      }
      slot.converter->reader().InsertCard(slot.card);
      slot.card_in = true;
      disturb();
      break;
    case OpKind::kRestart:
      slot.converter->reader().RestartAt(m_.Now());
      disturb();
      break;
    case OpKind::kNoise: {
      Ticks now = m_.Now(), until = now + Milliseconds(op.arg);
      slot.converter->line().reader_end().faults().Burst(now, until, 1e-2);
      slot.converter->line().converter_end().faults().Burst(now, until, 1e-2);
      break;
    }
    case OpKind::kPoolFail:
      m_.kernel().pool().FailNth(op.arg + 1);
      pool_faults_ = true;
      break;
    default:
      break;
  }
  End(id);
  Record(op, start, state, status, {}, note);
  if (op.kind == OpKind::kStopStart && !note.empty() && note[0] != '(') {
    Fail("stopped", ActorName(op.actor) + " stop-start at " +
                        std::to_string((start - t0_) / Milliseconds(1)) + " ms: " + note);
  }
  // Plug and Play and power requests the system sends are never failed by a driver, but for a
  // start that an allocation failed.
  if (status == STATUS_INSUFFICIENT_RESOURCES && pool_faults_ && op.kind == OpKind::kStopStart) {
    slot.start_failed = true;
  } else if (status != STATUS_SUCCESS) {
    Fail("status", ActorName(op.actor) + " " + OpName(op.kind) + " at " +
                       std::to_string((start - t0_) / Milliseconds(1)) +
                       " ms: " + host::io::StatusName(status));
  }
}

// A descriptor memory that holds something else: the converter's own configuration descriptor with
// its chain broken, a descriptor 0 or 1 byte long, the last one running past wTotalLength, or an
// interface counting an endpoint more than follow it.
Bytes DamagedConfiguration(uint32_t how) {
  Bytes cd = sim::converter::BuildConfigurationDescriptor(sim::converter::StandardLayout());
  size_t last = 0;
  for (size_t at = 0; at < cd.size() && cd[at] != 0; at += cd[at]) last = at;
  switch (how % 4) {
    case 0:
    case 1:
      cd[last] = uint8_t(how % 4);
      break;
    case 2: {
      uint16_t total = uint16_t(cd.size() - 3);
      cd[2] = uint8_t(total);
      cd[3] = uint8_t(total >> 8);
      break;
    }
    default:
      for (size_t at = 0; at < cd.size(); at += cd[at]) {
        if (cd[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
          ++cd[at + 4];  // bNumEndpoints
          break;
        }
      }
      break;
  }
  return cd;
}

// A converter whose configuration descriptor does not hold together is plugged in: its start must
// fail without selecting a configuration, and nothing else may break; it is pulled out again.
void Run::Bus(const Op& op) {
  Ticks start = m_.Now();
  uint64_t id = Begin(ActorName(op.actor) + " " + OpName(op.kind));
  host::machine::ConverterOptions options;
  options.rig.converter.configuration_answer = DamagedConfiguration(op.arg);
  options.rig.reader.reader.seed = plan_.seed * 7 + 5;
  options.rig.reader.seed = plan_.seed * 7 + 5;
  host::machine::Converter& damaged = m_.Plug(options);
  m_.Wait(Milliseconds(500));
  std::string problem;
  for (const host::usb::UrbRecord& urb : damaged.Urbs()) {
    if (urb.function == URB_FUNCTION_SELECT_CONFIGURATION && urb.status == STATUS_SUCCESS) {
      problem = "a configuration was selected from the damaged descriptor";
      break;
    }
  }
  if (problem.empty() && damaged.state() == host::io::DeviceState::kStarted)
    problem = "its device started";
  NTSTATUS status = problem.empty() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  damaged.Unplug();
  End(id);
  Record(op, start, "device:damaged", status, {}, problem.empty() ? "(start refused)" : "");
  if (!problem.empty()) {
    Fail("status", "bus damaged-plug " + std::to_string(op.arg) + " at " +
                       std::to_string((start - t0_) / Milliseconds(1)) + " ms: " + problem);
  }
}

// As the smart card resource manager does: a reader whose interface went away (removal, a start
// that failed) has its handle closed, so that the removal waiting for it can end.
void Run::ResourceManager() {
  while (!actors_done_) {
    m_.kernel().SleepFor(Milliseconds(100));
    for (Slot& s : slots_) {
      if (s.handle->is_open() && !s.closing && s.converter->reader_interface().empty()) {
        out_.log.push_back("resource manager: device " + std::to_string(&s - &slots_[0]) +
                           "'s interface went away: its handle closed");
        CloseShared(s);
      }
    }
  }
}

void Run::Quiesce() {
  uint64_t id = Begin("quiescence", kQuiescenceBound + kRequestBound);
  m_.kernel().pool().ClearFaults();
  pool_faults_ = false;
  if (asleep_) m_.Wake();
  for (Slot& s : slots_) {
    // A start an allocation failed (at a stop and start, or at a plug-in) left the converter
    // without the driver's device until it is plugged in again.
    if ((s.start_failed || s.converter->device_name().empty()) && s.converter->plugged())
      s.converter->Unplug();
    s.start_failed = false;
    if (!s.converter->plugged()) {
      s.converter = &m_.Plug(s.plug);
      ++s.epoch;
      s.stopped = false;
    }
    s.converter->line().reader_end().faults().Clear();
    s.converter->line().converter_end().faults().Clear();
    if (s.stopped && s.converter->Start() == STATUS_SUCCESS) s.stopped = false;
    if (!s.converter->reader().card_present()) s.converter->reader().InsertCard(s.card);
    s.card_in = true;
    // The configuration tool puts back what it changed: the reading thread running, permanent
    // reading on, the first interface setting.
    ReaderHandle tool(m_);
    if (tool.Open(s.converter->device_name()) == STATUS_SUCCESS) {
      tools::HandleReader requests(tool);
      tools::ConverterControl control(requests);
      control.Driver(tools::kSetReadingThread, 1);
      s.reading_stopped = false;
      control.Driver(tools::kStartPermanentReading);
      control.SelectSetting(0);
      tool.Close();
    }
  }
  for (size_t d = 0; d < slots_.size(); ++d) {
    Slot& s = slots_[d];
    std::u16string device = s.converter->device_name();
    Ticks began = m_.Now();
    fault_matrix::SessionTally clean;
    for (;;) {
      clean = fault_matrix::RunSession(m_, device, fault_matrix::CleanSession(), kRequestBound, {},
                                       s.card.get());
      if (clean.all_correct() || m_.Now() - began > kQuiescenceBound) break;
      m_.Wait(Seconds(2));
    }
    std::string line = "quiescence: device " + std::to_string(d) + " clean session " +
                       (clean.all_correct() ? "went through" : "failed") + " after " +
                       std::to_string((m_.Now() - began) / Milliseconds(1)) + " ms";
    out_.log.push_back(line);
    out_.digest = Fnv(out_.digest, line.data(), line.size());
    if (!clean.all_correct()) {
      std::string first;
      for (const std::string& l : clean.log) {
        if (l.find("STATUS_SUCCESS") == std::string::npos) {
          first = l;
          break;
        }
      }
      Fail("quiescence", "device " + std::to_string(d) + ": no clean session within " +
                             std::to_string(kQuiescenceBound / Seconds(1)) + " s, last: " + first +
                             (clean.first_problem.empty() ? "" : "; " + clean.first_problem));
      continue;
    }
    // The same rate, give or take the reader's clock (a card oscillator's 9622 for 9600).
    uint32_t converter_rate = s.converter->converter().line_settings().bit_rate;
    uint32_t reader_rate = s.converter->line().reader_end().settings().bit_rate;
    if (converter_rate * 50 < reader_rate * 49 || converter_rate * 49 > reader_rate * 50) {
      Fail("quiescence", "device " + std::to_string(d) + ": the converter's line at " +
                             std::to_string(converter_rate) + " bit/s, the reader's at " +
                             std::to_string(reader_rate));
    }
    ReaderHandle reader(m_);
    if (reader.Open(device) == STATUS_SUCCESS) {
      ULONG state = reader.GetState();
      if (state < SCARD_PRESENT || state > SCARD_SPECIFIC) {
        Fail("quiescence", "device " + std::to_string(d) + ": GET_STATE " + std::to_string(state) +
                               " with the card in the slot");
      }
      reader.Close();
    } else {
      Fail("quiescence", "device " + std::to_string(d) + ": does not open after the session");
    }
  }
  End(id);
}

void Run::Body() {
  host::kernel::SpawnOptions daemon;
  daemon.daemon = true;
  std::shared_ptr<Watch> watch = watch_;
  host::machine::Machine* m = &m_;
  m_.kernel().Spawn(
      "explorer monitor", [m, watch] { Monitor(*m, watch); }, daemon);
  for (int d = 0; d < plan_.converters; ++d) {
    Slot slot;
    if (plan_.realistic[d]) slot.plug.rig.reader.reader = sim::RealisticProfile().options;
    uint64_t seed = plan_.seed * 7 + uint64_t(d);
    slot.plug.rig.reader.reader.seed = seed;
    slot.plug.rig.reader.seed = seed;
    slot.plug.rig.reader.card.seed = seed;
    slot.card = std::make_shared<fault_matrix::RecordingCard>(slot.plug.rig.reader.card);
    slot.plug.card = slot.card;
    slot.handle = std::make_unique<ReaderHandle>(m_);
    slots_.push_back(std::move(slot));
  }
  for (Slot& s : slots_) {
    uint64_t id = Begin("plug-in");
    s.converter = &m_.Plug(s.plug);
    End(id);
  }
  // The bring-up behind each start goes on behind the driver's link gate: a first request waits
  // for it, so that the actors begin with every link up.
  for (Slot& s : slots_) {
    uint64_t id = Begin("first request");
    ReaderHandle reader(m_);
    if (reader.Open(s.converter->device_name()) == STATUS_SUCCESS) {
      reader.GetState();
      reader.Close();
    }
    End(id);
  }
  t0_ = m_.Now();
  watch_->t0 = t0_;
  std::map<explorer::Actor, std::vector<Op>> per_actor;
  for (const Op& op : plan_.ops) per_actor[op.actor].push_back(op);
  std::vector<std::unique_ptr<KEVENT>> done;
  for (auto& [actor, ops] : per_actor) {
    done.push_back(std::make_unique<KEVENT>());
    KEVENT* event = done.back().get();
    KeInitializeEvent(event, NotificationEvent, FALSE);
    const std::vector<Op>* list = &ops;
    m_.kernel().Spawn(ActorName(actor), [this, list, event] {
      Actor(*list);
      KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    });
  }
  KEVENT manager_done;
  KeInitializeEvent(&manager_done, NotificationEvent, FALSE);
  m_.kernel().Spawn("resource manager", [this, &manager_done] {
    ResourceManager();
    KeSetEvent(&manager_done, IO_NO_INCREMENT, FALSE);
  });
  for (auto& event : done)
    KeWaitForSingleObject(event.get(), Executive, KernelMode, FALSE, nullptr);
  actors_done_ = true;
  KeWaitForSingleObject(&manager_done, Executive, KernelMode, FALSE, nullptr);
  for (Slot& s : slots_) CloseShared(s);
  Quiesce();
  for (Slot& s : slots_) s.handle.reset();
  // The machine's shutdown pulls every converter out: each removal must end, too.
  Begin("shutdown (the removal of every device)", kShutdownBound);
  // Which operations overlapped in time on one device.
  for (size_t i = 0; i < intervals_.size(); ++i) {
    for (size_t j = i + 1; j < intervals_.size(); ++j) {
      const Interval& a = intervals_[i];
      const Interval& b = intervals_[j];
      if (a.device != b.device || a.start >= b.end || b.start >= a.end) continue;
      auto key = a.op < b.op ? std::make_pair(a.op, b.op) : std::make_pair(b.op, a.op);
      out_.coverage.overlaps[key]++;
    }
  }
}

}  // namespace

void Coverage::Add(const Coverage& other) {
  for (const auto& [k, v] : other.overlaps) overlaps[k] += v;
  for (const auto& [op, states_met] : other.states)
    for (const auto& [s, v] : states_met) states[op][s] += v;
}

RunOutcome RunPlan(const Plan& plan, const RunSettings& settings) {
  RunOutcome out;
  out.digest = kFnvBasis;
  host::machine::MachineOptions options;
  options.kernel.seed = plan.seed;
  options.kernel.echo_debug_print = settings.debug_print;
  if (plan.legacy) options.io = host::io::IoOptions::Legacy();
  host::machine::Machine machine(options);
  host::kernel::RunResult result = machine.Run([&](host::machine::Machine& m) {
    Run run(plan, m, out);
    run.Body();
  });
  if (!result.ok()) {
    std::string category;
    if (result.report.find(kHungMarker) != std::string::npos ||
        result.outcome == host::kernel::Outcome::kDeadlock) {
      category = "hang";
    } else if (result.outcome == host::kernel::Outcome::kBugCheck &&
               result.report.find(kShutdownMarker) != std::string::npos) {
      category = "leak";
    } else {
      category = "verifier";
    }
    out.ok = false;
    out.category = category;
    out.problem = result.report;
    out.log.push_back("!! " + category + ": " + result.report);
    out.digest = Fnv(out.digest, category.data(), category.size());
  }
  return out;
}

}  // namespace explorer
