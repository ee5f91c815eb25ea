#include "sim/serial_line.h"

#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <vector>

namespace sim {

using host::kernel::EventId;
using host::kernel::Kernel;
using host::kernel::Ticks;

namespace {

constexpr int kConverterSide = 0;
constexpr int kReaderSide = 1;
constexpr uint8_t kSpace = 0;  // logic 0 on the wire: start bit
constexpr uint8_t kMark = 1;   // logic 1: idle and stop bits
// Fractions of a tick below this are rounding noise of the exact bit arithmetic.
constexpr double kTickEpsilon = 1e-6;

Ticks ToTick(double fine) { return Ticks(std::ceil(fine - kTickEpsilon)); }

// One character's waveform as it travels: levels of its bits, each `bit` ticks long.
struct Frame {
  double start = 0;
  double bit = 0;
  std::vector<uint8_t> levels;
  double end() const { return start + bit * double(levels.size()); }
};

}  // namespace

const char* DirectionName(Direction direction) {
  return direction == Direction::kHostToReader ? "host->reader" : "reader->host";
}

struct SerialLine::Impl {
  explicit Impl(Kernel& k, uint64_t seed) : kernel(k) {
    sides[0].rng.seed(seed * 2 + 1);
    sides[1].rng.seed(seed * 2 + 2);
  }

  struct Transmitter {
    struct Injected {
      uint8_t value;
      bool bad_parity;
    };
    std::deque<uint8_t> fifo;
    std::deque<Injected> injected;  // fault insertions, sent before the fifo
    bool on_wire = false;
    double burst_start = 0;  // a burst is a run of back-to-back characters at one setting
    uint64_t burst_bits = 0;
    UartSettings burst_settings;
    double wire_end = 0;
    std::vector<std::function<void()>> idle_waiters;
  };
  struct Receiver {
    std::deque<Frame> wave;  // what the far end has put on the wire, oldest first
    double hunt_from = 0;    // the receiver looks for a start edge from here on
    bool locked = false;
    double lock_time = 0;
  };
  struct Side {
    UartSettings settings = kLinkSettings;
    Transmitter tx;
    Receiver rx;
    ReceiveCallback callback;
    LineFaults faults;
    std::mt19937_64 rng;
  };

  Kernel& kernel;
  // Guards everything below. Never held while a callback or observer runs.
  mutable std::mutex mu;
  // Held while callbacks run, so that clearing a callback waits for a running one (real mode).
  std::recursive_mutex callback_mu;
  bool closed = false;
  Side sides[2];
  bool dtr = false, rts = false, dsr = false, cts = false;
  ModemCounters counters;
  std::function<void(bool, bool)> modem_callback;
  std::map<int, LineObserver> observers;
  int next_observer = 1;
  std::weak_ptr<Impl> self;

  using Deferred = std::vector<std::function<void()>>;

  static Direction DirectionOf(int side) {
    return side == kConverterSide ? Direction::kHostToReader : Direction::kReaderToHost;
  }

  void NotifyLocked(Deferred& out, const LineEvent& event) {
    // Looked up again when it runs, so that a removed observer is not called.
    for (auto& entry : observers) {
      int id = entry.first;
      out.push_back([this, id, event] {
        LineObserver observer;
        {
          std::lock_guard lock(mu);
          if (auto it = observers.find(id); it != observers.end()) observer = it->second;
        }
        if (observer) observer(event);
      });
    }
  }

  // Runs deferred work outside mu.
  void Flush(Deferred& work) {
    if (work.empty()) return;
    std::lock_guard cb(callback_mu);
    for (auto& fn : work) fn();
  }

  void Schedule(Ticks when, std::function<void(Impl&, Deferred&)> fn) {
    std::shared_ptr<Impl> keep = self.lock();
    kernel.ScheduleAt(when, [keep, fn] {
      Deferred work;
      {
        std::lock_guard lock(keep->mu);
        if (keep->closed) return;
        fn(*keep, work);
      }
      keep->Flush(work);
    });
  }

  // --- transmitter ---

  void StartNextLocked(int s, double start, Deferred& out) {
    Transmitter& tx = sides[s].tx;
    const UartSettings& st = sides[s].settings;
    bool inserted = !tx.injected.empty();
    bool bad_parity = false;
    uint8_t value;
    if (inserted) {
      value = tx.injected.front().value;
      bad_parity = tx.injected.front().bad_parity;
      tx.injected.pop_front();
    } else {
      value = tx.fifo.front();
      tx.fifo.pop_front();
    }
    if (!tx.on_wire || !(tx.burst_settings == st)) {
      tx.burst_start = start;
      tx.burst_bits = 0;
      tx.burst_settings = st;
    }
    Ticks start_tick = Ticks(std::floor(start + kTickEpsilon));
    FaultAction fault;
    if (inserted) {
      fault.drop = sides[s].faults.SilentAt(start_tick);
    } else {
      fault = sides[s].faults.Next(value, start_tick);
    }
    double frame_start = tx.burst_start + BitsToTicks(tx.burst_bits, st.bit_rate);
    tx.burst_bits += uint64_t(st.BitsPerCharacter());
    tx.wire_end = tx.burst_start + BitsToTicks(tx.burst_bits, st.bit_rate);
    tx.on_wire = true;

    LineEvent sent;
    sent.kind = LineEvent::Kind::kSent;
    sent.direction = DirectionOf(s);
    sent.time = start_tick;
    sent.value = value;
    sent.inserted = inserted;
    sent.lost = fault.drop;
    NotifyLocked(out, sent);

    if (!fault.drop) {
      Frame f;
      f.start = frame_start;
      f.bit = BitsToTicks(1, st.bit_rate);
      f.levels.push_back(kSpace);
      uint8_t data = value ^ uint8_t(fault.flip_mask);
      for (int i = 0; i < st.data_bits; ++i) f.levels.push_back((data >> i) & 1);
      if (st.parity != Parity::kNone) f.levels.push_back(ParityBit(st, value) ^ bad_parity);
      for (int i = 0; i < st.stop_bits; ++i) f.levels.push_back(kMark);
      double ber = sides[s].faults.BitErrorRateAt(start_tick);
      if (ber > 0) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        for (auto& level : f.levels) {
          if (chance(sides[s].rng) < ber) level ^= 1;
        }
      }
      if (sides[s].faults.EchoAt(start_tick)) PutOnWireLocked(s, f);
      PutOnWireLocked(1 - s, std::move(f));
    }
    for (auto it = fault.insert_after.rbegin(); it != fault.insert_after.rend(); ++it) {
      tx.injected.push_front({*it, false});
    }
    Schedule(ToTick(tx.wire_end),
             [s](Impl& impl, Deferred& work) { impl.CharacterSentLocked(s, work); });
  }

  void CharacterSentLocked(int s, Deferred& out) {
    Transmitter& tx = sides[s].tx;
    if (!tx.fifo.empty() || !tx.injected.empty()) {
      StartNextLocked(s, tx.wire_end, out);
      return;
    }
    tx.on_wire = false;
    for (auto& fn : tx.idle_waiters) out.push_back(std::move(fn));
    tx.idle_waiters.clear();
  }

  // --- the wire ---

  // A frame reaches the receiver of side r, in time order with what it already has.
  void PutOnWireLocked(int r, Frame f) {
    auto& wave = sides[r].rx.wave;
    auto at = wave.end();
    while (at != wave.begin() && std::prev(at)->start > f.start) --at;
    wave.insert(at, std::move(f));
    HuntLocked(r);
  }

  // The wire side s sends on held at space over [from, until): a phantom start bit when short,
  // a break when long.
  void SpaceLocked(int s, double from, double until) {
    Frame f;
    f.start = from;
    f.bit = until - from;
    f.levels.push_back(kSpace);
    PutOnWireLocked(1 - s, std::move(f));
  }

  void NoiseLocked(int s, Ticks until, double per_second, double width) {
    Ticks now = kernel.Now();
    if (now >= until) return;
    // Only while the line idles: on a character the noise is a bit error.
    if (!sides[s].tx.on_wire) SpaceLocked(s, double(now), double(now) + width);
    std::exponential_distribution<double> interval(per_second);
    Ticks next = now + 1 + Ticks(interval(sides[s].rng) * double(host::kernel::kTicksPerSecond));
    Schedule(next, [s, until, per_second, width](Impl& impl, Deferred&) {
      impl.NoiseLocked(s, until, per_second, width);
    });
  }

  // --- receiver of side r (it samples what the other side sends) ---

  uint8_t LevelAt(const Receiver& rx, double t) const {
    for (const Frame& f : rx.wave) {
      if (t < f.start) break;
      if (t < f.end()) {
        size_t index = size_t((t - f.start) / f.bit);
        if (index >= f.levels.size()) index = f.levels.size() - 1;
        return f.levels[index];
      }
    }
    return kMark;
  }

  // The first falling edge at or after `from`, if the wave known so far has one.
  bool FindStartEdge(const Receiver& rx, double from, double* edge) const {
    uint8_t previous = kMark;
    double previous_end = -1;
    for (const Frame& f : rx.wave) {
      if (f.start > previous_end + kTickEpsilon) previous = kMark;  // idle gap before it
      for (size_t i = 0; i < f.levels.size(); ++i) {
        double t = f.start + f.bit * double(i);
        if (previous == kMark && f.levels[i] == kSpace && t + kTickEpsilon >= from) {
          *edge = t;
          return true;
        }
        previous = f.levels[i];
      }
      previous_end = f.end();
    }
    return false;
  }

  void HuntLocked(int r) {
    Receiver& rx = sides[r].rx;
    if (rx.locked) return;
    double edge;
    if (!FindStartEdge(rx, rx.hunt_from, &edge)) return;
    rx.locked = true;
    rx.lock_time = edge;
    const UartSettings& st = sides[r].settings;
    double done = edge + BitsToTicks(uint64_t(st.BitsPerCharacter()), st.bit_rate);
    Schedule(ToTick(done), [r](Impl& impl, Deferred& work) { impl.SampleLocked(r, work); });
  }

  void SampleLocked(int r, Deferred& out) {
    Receiver& rx = sides[r].rx;
    const UartSettings& st = sides[r].settings;
    double bit = BitsToTicks(1, st.bit_rate);
    auto middle = [&](int index) { return rx.lock_time + bit * (double(index) + 0.5); };
    ReceivedCharacter ch;
    for (int i = 0; i < st.data_bits; ++i) {
      ch.value |= uint8_t(LevelAt(rx, middle(1 + i)) << i);
    }
    int next = 1 + st.data_bits;
    if (st.parity != Parity::kNone) {
      ch.parity_error = LevelAt(rx, middle(next)) != ParityBit(st, ch.value);
      ++next;
    }
    double stop_sample = middle(next);
    ch.framing_error = LevelAt(rx, stop_sample) != kMark;
    ch.time = kernel.Now();
    rx.locked = false;
    rx.hunt_from = stop_sample;
    while (!rx.wave.empty() && rx.wave.front().end() < rx.hunt_from) rx.wave.pop_front();

    LineEvent received;
    received.kind = LineEvent::Kind::kReceived;
    received.direction = DirectionOf(1 - r);
    received.time = ch.time;
    received.value = ch.value;
    received.parity_error = ch.parity_error;
    received.framing_error = ch.framing_error;
    NotifyLocked(out, received);
    if (sides[r].callback) {
      // Looked up again when it runs, so that a cleared callback is not called.
      out.push_back([this, r, ch] {
        ReceiveCallback current;
        {
          std::lock_guard lock(mu);
          current = sides[r].callback;
        }
        if (current) current(ch);
      });
    }
    HuntLocked(r);
  }
};

// --- End ---

void SerialLine::End::Configure(const UartSettings& settings) {
  if (!settings.Valid()) {
    impl_->kernel.BugCheck("SerialLine::Configure", "invalid line settings " + settings.ToString());
  }
  std::lock_guard lock(impl_->mu);
  impl_->sides[side_].settings = settings;
}

UartSettings SerialLine::End::settings() const {
  std::lock_guard lock(impl_->mu);
  return impl_->sides[side_].settings;
}

void SerialLine::End::Transmit(std::span<const uint8_t> bytes) {
  Impl::Deferred work;
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->closed || bytes.empty()) return;
    auto& tx = impl_->sides[side_].tx;
    tx.fifo.insert(tx.fifo.end(), bytes.begin(), bytes.end());
    if (!tx.on_wire) impl_->StartNextLocked(side_, double(impl_->kernel.Now()), work);
  }
  // The sender may hold its own lock (the reader firmware does) while callbacks take theirs under
  // callback_mu: what the transmission has to tell runs as a device event instead, never nested.
  if (!work.empty()) {
    std::shared_ptr<Impl> keep = impl_->self.lock();
    impl_->kernel.ScheduleAt(impl_->kernel.Now(), [keep, work]() mutable { keep->Flush(work); });
  }
}

size_t SerialLine::End::TransmitQueued() const {
  std::lock_guard lock(impl_->mu);
  auto& tx = impl_->sides[side_].tx;
  return tx.fifo.size() + tx.injected.size() + (tx.on_wire ? 1 : 0);
}

void SerialLine::End::PurgeTransmit() {
  std::lock_guard lock(impl_->mu);
  impl_->sides[side_].tx.fifo.clear();
  impl_->sides[side_].tx.injected.clear();
}

void SerialLine::End::WhenTransmitterIdle(std::function<void()> fn) {
  std::lock_guard lock(impl_->mu);
  auto& tx = impl_->sides[side_].tx;
  if (tx.on_wire) {
    tx.idle_waiters.push_back(std::move(fn));
  } else {
    impl_->Schedule(impl_->kernel.Now(), [fn](Impl&, Impl::Deferred& work) { work.push_back(fn); });
  }
}

void SerialLine::End::SetReceiveCallback(ReceiveCallback callback) {
  // Waits for a callback that is running now (real mode), unless called from one.
  std::lock_guard cb(impl_->callback_mu);
  std::lock_guard lock(impl_->mu);
  impl_->sides[side_].callback = std::move(callback);
}

LineFaults& SerialLine::End::faults() { return impl_->sides[side_].faults; }

void SerialLine::End::GlitchAt(Ticks at, double bits) {
  std::lock_guard lock(impl_->mu);
  int s = side_;
  impl_->Schedule(at, [s, at, bits](Impl& impl, Impl::Deferred&) {
    double width = BitsToTicks(1, impl.sides[s].settings.bit_rate) * bits;
    impl.SpaceLocked(s, double(at), double(at) + width);
  });
}

void SerialLine::End::NoiseBetween(Ticks from, Ticks until, double per_second) {
  std::lock_guard lock(impl_->mu);
  int s = side_;
  impl_->Schedule(from, [s, until, per_second](Impl& impl, Impl::Deferred&) {
    double width = BitsToTicks(1, impl.sides[s].settings.bit_rate) / 2;
    impl.NoiseLocked(s, until, per_second, width);
  });
}

void SerialLine::End::BreakBetween(Ticks from, Ticks until) {
  std::lock_guard lock(impl_->mu);
  int s = side_;
  impl_->sides[s].faults.Silence(from, until);
  impl_->Schedule(from, [s, from, until](Impl& impl, Impl::Deferred&) {
    impl.SpaceLocked(s, double(from), double(until));
  });
}

void SerialLine::End::InjectAt(Ticks at, uint8_t value, bool bad_parity) {
  std::lock_guard lock(impl_->mu);
  int s = side_;
  impl_->Schedule(at, [s, value, bad_parity](Impl& impl, Impl::Deferred& work) {
    Impl::Transmitter& tx = impl.sides[s].tx;
    tx.injected.push_back({value, bad_parity});
    if (!tx.on_wire) impl.StartNextLocked(s, double(impl.kernel.Now()), work);
  });
}

Direction SerialLine::End::direction() const { return Impl::DirectionOf(side_); }

// --- SerialLine ---

SerialLine::SerialLine(Kernel& kernel, uint64_t seed)
    : impl_(std::make_shared<Impl>(kernel, seed)),
      converter_(*this, impl_, kConverterSide),
      reader_(*this, impl_, kReaderSide) {
  impl_->self = impl_;
}

SerialLine::~SerialLine() {
  std::lock_guard cb(impl_->callback_mu);
  std::lock_guard lock(impl_->mu);
  impl_->closed = true;
  impl_->sides[0].callback = nullptr;
  impl_->sides[1].callback = nullptr;
  impl_->modem_callback = nullptr;
  impl_->observers.clear();
  for (auto& side : impl_->sides) side.tx.idle_waiters.clear();
}

void SerialLine::SetDtr(bool on) {
  std::lock_guard lock(impl_->mu);
  auto& c = impl_->counters;
  ++(on ? c.dtr_on_requests : c.dtr_off_requests);
  if (impl_->dtr == on) return;
  ++(on ? c.dtr_rises : c.dtr_falls);
  impl_->dtr = on;
  bool rts = impl_->rts;
  impl_->Schedule(impl_->kernel.Now(), [on, rts](Impl& impl, Impl::Deferred& work) {
    if (auto cb = impl.modem_callback) work.push_back([cb, on, rts] { cb(on, rts); });
  });
}

void SerialLine::DropDtr(Ticks at, Ticks duration) {
  std::lock_guard lock(impl_->mu);
  for (bool on : {false, true}) {
    impl_->Schedule(at + (on ? duration : 0), [on](Impl& impl, Impl::Deferred& work) {
      if (!impl.dtr) return;  // the converter has it off anyway
      if (auto cb = impl.modem_callback) work.push_back([cb, on, rts = impl.rts] { cb(on, rts); });
    });
  }
}

void SerialLine::SetRts(bool on) {
  std::lock_guard lock(impl_->mu);
  ++(on ? impl_->counters.rts_on_requests : impl_->counters.rts_off_requests);
  if (impl_->rts == on) return;
  impl_->rts = on;
  bool dtr = impl_->dtr;
  impl_->Schedule(impl_->kernel.Now(), [on, dtr](Impl& impl, Impl::Deferred& work) {
    if (auto cb = impl.modem_callback) work.push_back([cb, on, dtr] { cb(dtr, on); });
  });
}

bool SerialLine::dtr() const {
  std::lock_guard lock(impl_->mu);
  return impl_->dtr;
}

bool SerialLine::rts() const {
  std::lock_guard lock(impl_->mu);
  return impl_->rts;
}

void SerialLine::SetModemCallback(std::function<void(bool, bool)> callback) {
  std::lock_guard cb(impl_->callback_mu);
  std::lock_guard lock(impl_->mu);
  impl_->modem_callback = std::move(callback);
}

ModemCounters SerialLine::modem_counters() const {
  std::lock_guard lock(impl_->mu);
  return impl_->counters;
}

void SerialLine::SetDsr(bool on) {
  std::lock_guard lock(impl_->mu);
  impl_->dsr = on;
}

void SerialLine::SetCts(bool on) {
  std::lock_guard lock(impl_->mu);
  impl_->cts = on;
}

bool SerialLine::dsr() const {
  std::lock_guard lock(impl_->mu);
  return impl_->dsr;
}

bool SerialLine::cts() const {
  std::lock_guard lock(impl_->mu);
  return impl_->cts;
}

int SerialLine::AddObserver(LineObserver observer) {
  std::lock_guard lock(impl_->mu);
  int id = impl_->next_observer++;
  impl_->observers[id] = std::move(observer);
  return id;
}

void SerialLine::RemoveObserver(int id) {
  std::lock_guard cb(impl_->callback_mu);
  std::lock_guard lock(impl_->mu);
  impl_->observers.erase(id);
}

Kernel& SerialLine::kernel() const { return impl_->kernel; }

}  // namespace sim
