#include "sim/line_faults.h"

#include <algorithm>
#include <memory>

namespace sim {

void LineFaults::InsertAfter(uint64_t index, std::vector<uint8_t> bytes) {
  auto& queued = inserts_[index];
  queued.insert(queued.end(), bytes.begin(), bytes.end());
}

void LineFaults::Silence(host::kernel::Ticks from, host::kernel::Ticks until) {
  silences_.emplace_back(from, until);
}

void LineFaults::Burst(host::kernel::Ticks from, host::kernel::Ticks until, double rate) {
  bursts_.push_back({{from, until}, rate});
}

void LineFaults::Echo(host::kernel::Ticks from, host::kernel::Ticks until) {
  echoes_.emplace_back(from, until);
}

void LineFaults::Clear() {
  flips_.clear();
  drops_.clear();
  inserts_.clear();
  silences_.clear();
  echoes_.clear();
  bursts_.clear();
  bit_error_rate_ = 0;
  hook_ = nullptr;
}

bool LineFaults::In(const std::vector<Window>& windows, host::kernel::Ticks when) {
  for (auto [from, until] : windows) {
    if (when >= from && when < until) return true;
  }
  return false;
}

bool LineFaults::SilentAt(host::kernel::Ticks when) const { return In(silences_, when); }

bool LineFaults::EchoAt(host::kernel::Ticks when) const { return In(echoes_, when); }

double LineFaults::BitErrorRateAt(host::kernel::Ticks when) const {
  double rate = bit_error_rate_;
  for (const auto& [window, burst] : bursts_) {
    if (In({window}, when)) rate = std::max(rate, burst);
  }
  return rate;
}

FaultAction LineFaults::Next(uint8_t value, host::kernel::Ticks start) {
  uint64_t index = next_index_++;
  FaultAction d;
  if (auto it = flips_.find(index); it != flips_.end()) {
    d.flip_mask = it->second;
    flips_.erase(it);
  }
  if (auto it = drops_.find(index); it != drops_.end()) {
    d.drop = true;
    drops_.erase(it);
  }
  if (auto it = inserts_.find(index); it != inserts_.end()) {
    d.insert_after = std::move(it->second);
    inserts_.erase(it);
  }
  if (hook_) {
    FaultAction a = hook_(index, value);
    d.drop = d.drop || a.drop;
    d.flip_mask ^= a.flip_mask;
    d.insert_after.insert(d.insert_after.end(), a.insert_after.begin(), a.insert_after.end());
  }
  if (SilentAt(start)) d.drop = true;
  return d;
}

FaultHook RandomCharacterFaults(uint64_t seed, double rate, bool insert) {
  auto rng = std::make_shared<std::mt19937_64>(seed);
  return [rng, rate, insert](uint64_t, uint8_t) {
    FaultAction a;
    if (std::uniform_real_distribution<double>(0, 1)(*rng) < rate) {
      if (insert) {
        a.insert_after.push_back(uint8_t((*rng)()));
      } else {
        a.drop = true;
      }
    }
    return a;
  };
}

}  // namespace sim
