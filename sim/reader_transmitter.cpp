// The pace of what the reader firmware sends: a turnaround before each block, pauses between its
// characters, and the guard time during which the reader does not hear the host.
#include "host/kernel/kernel.h"
#include "sim/reader_firmware.h"

namespace sim {

using host::kernel::Ticks;

void Reader::Firmware::TransmitLocked(const std::vector<uint8_t>& bytes) {
  Ticks late = 0;
  if (late_block > 0 && --late_block == 0) late = late_by;
  bool paced = options.turnaround_max > 0 || options.character_gap_max > 0 || late > 0;
  if (!paced) {
    line.reader_end().Transmit(bytes);
    NoteTransmitterIdleLocked();
    return;
  }
  bool start = !tx_paced;
  tx_queue.insert(tx_queue.end(), bytes.begin(), bytes.end());
  if (!start) return;
  tx_paced = true;
  At(kernel.Now() + late + Draw(options.turnaround_min, options.turnaround_max),
     [](Firmware& fw) { fw.PaceLocked(); });
}

void Reader::Firmware::PaceLocked() {
  auto finished = [this] {
    tx_paced = false;
    for (auto& fn : tx_after_paced) line.reader_end().WhenTransmitterIdle(std::move(fn));
    tx_after_paced.clear();
  };
  if (tx_queue.empty()) return finished();
  if (options.character_gap_max == 0) {
    std::vector<uint8_t> all(tx_queue.begin(), tx_queue.end());
    tx_queue.clear();
    line.reader_end().Transmit(all);
    NoteTransmitterIdleLocked();
    return finished();
  }
  line.reader_end().Transmit({tx_queue.front()});
  tx_queue.pop_front();
  // The character has started now; the next one follows its end after a pause.
  Ticks end = kernel.Now() + CharacterTime(line.reader_end().settings());
  tx_idle_at = end;
  Ticks gap = tx_queue.empty() ? 0 : Draw(0, options.character_gap_max);
  At(end + gap, [](Firmware& fw) { fw.PaceLocked(); });
}

void Reader::Firmware::WhenAllSentLocked(std::function<void()> fn) {
  if (tx_paced) {
    tx_after_paced.push_back(std::move(fn));
  } else {
    line.reader_end().WhenTransmitterIdle(std::move(fn));
  }
}

void Reader::Firmware::NoteTransmitterIdleLocked() {
  if (options.guard_time == 0) return;
  std::weak_ptr<Firmware> weak = weak_from_this();
  line.reader_end().WhenTransmitterIdle([weak] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->mu);
    self->tx_idle_at = self->kernel.Now();
  });
}

bool Reader::Firmware::InGuardTimeLocked(Ticks arrival) const {
  if (options.guard_time == 0) return false;
  if (tx_paced || line.reader_end().TransmitterBusy()) return true;
  Ticks started = arrival - CharacterTime(line.reader_end().settings());
  return started < tx_idle_at + options.guard_time;
}

}  // namespace sim
