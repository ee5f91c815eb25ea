// The reader firmware: power by DTR, restarts, the card slot and the public methods.
#include "sim/reader.h"

#include <cmath>

#include "host/kernel/kernel.h"
#include "sim/cards/apdu.h"
#include "sim/reader_firmware.h"
#include "sim/reader_protocol.h"

namespace sim {

using host::kernel::Ticks;
using Phase = Reader::Firmware::Phase;

namespace {
constexpr double kPartsPerMillion = 1e6;
}  // namespace

Reader::Firmware::Firmware(SerialLine& l, ReaderOptions o)
    : line(l), kernel(l.kernel()), options(std::move(o)), rng(options.seed), ifsc(options.ifsc) {
  KeInitializeEvent(&jobs_event, SynchronizationEvent, FALSE);
}

void Reader::Firmware::Start() {
  std::weak_ptr<Firmware> weak = weak_from_this();
  line.reader_end().SetReceiveCallback([weak](const ReceivedCharacter& ch) {
    if (auto self = weak.lock()) self->OnCharacter(ch);
  });
  line.SetModemCallback([weak](bool dtr_on, bool) {
    if (auto self = weak.lock()) self->OnModem(dtr_on);
  });
  std::shared_ptr<Firmware> self = shared_from_this();
  kernel.Spawn("reader card worker", [self] { self->WorkerLoop(); }, {.daemon = true});
  bool dtr_now = line.dtr();
  if (dtr_now) OnModem(true);
}

void Reader::Firmware::Close() {
  line.reader_end().SetReceiveCallback(nullptr);
  line.SetModemCallback(nullptr);
  std::lock_guard lock(mu);
  closed = true;
  jobs.clear();
  CancelWtxLocked();
  KeSetEvent(&jobs_event, 0, FALSE);
}

void Reader::Firmware::At(Ticks when, std::function<void(Firmware&)> fn, bool keep_epoch) {
  std::weak_ptr<Firmware> weak = weak_from_this();
  uint64_t epoch = power_epoch;
  kernel.ScheduleAt(when, [weak, epoch, keep_epoch, fn] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->mu);
    if (self->closed || (keep_epoch && epoch != self->power_epoch)) return;
    fn(*self);
  });
}

Ticks Reader::Firmware::Draw(Ticks low, Ticks high) {
  if (high <= low) return low;
  return low + Ticks(rng() % uint64_t(high - low + 1));
}

uint32_t Reader::Firmware::ReaderRate(uint32_t nominal) const {
  return uint32_t(std::llround(double(nominal) * (1 + options.clock_error_ppm / kPartsPerMillion)));
}

// --- power ---

void Reader::Firmware::OnModem(bool dtr_on) {
  std::lock_guard lock(mu);
  if (closed || dtr_on == dtr) return;
  dtr = dtr_on;
  uint64_t change = ++modem_changes;
  if (!dtr_on && options.dtr_holdup > 0 && powered) {
    // Its own supply holds it up for a while: only a drop that lasts powers it down.
    At(
        kernel.Now() + options.dtr_holdup,
        [change](Firmware& fw) {
          if (fw.modem_changes == change) fw.PowerDownLocked();
        },
        false);
    return;
  }
  if (dtr_on && powered) return;  // a drop ridden through
  PowerDownLocked();              // a rise restarts from off as well
  if (dtr_on) {
    powered = true;
    At(kernel.Now() + options.boot_time, [](Firmware& fw) { fw.BootLocked(); });
  }
}

void Reader::Firmware::NewEpochLocked() {
  ++power_epoch;
  card_calls = 0;  // their answers drop with the epoch
  tx_queue.clear();
  tx_paced = false;
  tx_after_paced.clear();
}

void Reader::Firmware::PowerDownLocked() {
  NewEpochLocked();
  powered = false;
  booted = false;
  CancelWtxLocked();
  line.reader_end().PurgeTransmit();
  line.SetDsr(false);
  line.SetCts(false);
  jobs.clear();
  if (card && card_powered)
    QueueJobLocked(CardJob{CardJob::Kind::kPowerOff, 0, 0, card, {}, 0, nullptr});
  card_powered = false;
  selected_protocol = 0;
  rx.clear();
  rate_after_answer = 0;
}

void Reader::Firmware::RestartLocked() {
  if (!booted) return;
  ++stats.restarts;
  PowerDownLocked();
  powered = true;
  At(kernel.Now() + options.boot_time, [](Firmware& fw) { fw.BootLocked(); });
}

void Reader::Firmware::BootLocked() {
  booted = true;
  ++stats.boots;
  UartSettings settings = kLinkSettings;
  settings.bit_rate = ReaderRate(settings.bit_rate);
  line.reader_end().Configure(settings);
  ResetLinkLocked();
  line.SetDsr(true);
  line.SetCts(true);
}

void Reader::Firmware::ResetLinkLocked() {
  // Anything in flight belongs to the old link.
  NewEpochLocked();
  ++command_seq;
  CancelWtxLocked();
  phase = Phase::kIdle;
  pending = Pending::kNone;
  host_ns = 0;
  reader_ns = 0;
  // Both sizes return to where a link starts.
  ifsd = t1::kDefaultIfs;
  ifsc = options.ifsc;
  command.clear();
  answer.clear();
  answer_ready = false;
  s_queue.clear();
  reader_answer.reset();
  last_sent.clear();
  last_i_block.clear();
  rx.clear();
  rx_damaged = false;
  bad_blocks = 0;
  mute = false;
}

// --- slot ---

void Reader::Firmware::InsertCardLocked(std::shared_ptr<Card> new_card) {
  bool pulled = card != nullptr && new_card == nullptr;
  if (card && card_powered) {
    QueueJobLocked(CardJob{CardJob::Kind::kPowerOff, 0, 0, card, {}, 0, nullptr});
  }
  card = std::move(new_card);
  card_powered = false;
  card_protocols = 0;
  selected_protocol = 0;
  if (pulled) CardPulledLocked();
}

// --- Reader ---

Reader::Reader(SerialLine& line, ReaderOptions options)
    : firmware_(std::make_shared<Firmware>(line, std::move(options))) {
  firmware_->Start();
}

Reader::~Reader() { firmware_->Close(); }

void Reader::InsertCard(std::shared_ptr<Card> card) {
  std::lock_guard lock(firmware_->mu);
  firmware_->InsertCardLocked(std::move(card));
}

void Reader::RemoveCard() { InsertCard(nullptr); }

void Reader::InsertCardAt(Ticks when, std::shared_ptr<Card> card) {
  std::lock_guard lock(firmware_->mu);
  firmware_->At(
      when, [card](Firmware& fw) { fw.InsertCardLocked(card); }, false);
}

void Reader::RemoveCardAt(Ticks when) { InsertCardAt(when, nullptr); }

void Reader::RestartAt(Ticks when) {
  std::lock_guard lock(firmware_->mu);
  firmware_->At(
      when, [](Firmware& fw) { fw.RestartLocked(); }, false);
}

void Reader::DelayBlock(int nth, Ticks delay) {
  std::lock_guard lock(firmware_->mu);
  firmware_->late_block = nth;
  firmware_->late_by = delay;
}

bool Reader::card_present() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->card != nullptr;
}

bool Reader::card_powered() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->card_powered;
}

void Reader::RequestIfsBeforeNextAnswer(uint8_t size) {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_ifs = size;
}

void Reader::SendWtxBeforeNextAnswer(uint8_t multiplier) {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_wtx = multiplier;
}

void Reader::RequestIfsInNextHostChain(uint8_t size) {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_ifs_in_host_chain = size;
}

void Reader::AbortNextHostChain() {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_abort_host_chain = true;
}

void Reader::AbortNextAnswerChain() {
  std::lock_guard lock(firmware_->mu);
  firmware_->script_abort_answer_chain = true;
}

void Reader::Script(std::vector<ScriptStep> steps) {
  std::lock_guard lock(firmware_->mu);
  for (ScriptStep& step : steps) {
    step.exchange += int(firmware_->card_commands_started);
    firmware_->script.push_back(step);
  }
}

std::vector<ScriptStep> Reader::WaitingScript() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->script;
}

uint64_t Reader::card_commands_started() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->card_commands_started;
}

bool Reader::booted() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->booted;
}

uint8_t Reader::ifsd() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->ifsd;
}

uint8_t Reader::ifsc() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->ifsc;
}

uint32_t Reader::selected_protocol() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->selected_protocol;
}

ReaderStats Reader::stats() const {
  std::lock_guard lock(firmware_->mu);
  return firmware_->stats;
}

}  // namespace sim
