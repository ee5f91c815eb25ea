// Faults put on what one end of the serial line transmits: bit flips in chosen characters or at
// a bit error rate (standing or in bursts), dropped characters, inserted characters, silent
// periods and echoes. Faults at chosen times on the wire itself (phantom start bits, breaks,
// injected characters) are the line end's (SerialLine::End). Characters are
// counted per direction from 0 in the order the transmitter sends them; inserted characters are
// not counted. Random faults draw from the line's seeded generator, so a seed replays a run.
//
// Thread safety: every method may be called from any thread; the line takes the fault state
// under its own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "host/kernel/ticks.h"

namespace sim {

// What befalls one character: what a fault hook asks for, and what the line carries out.
struct FaultAction {
  bool drop = false;       // the character never appears on the line (it stays idle instead)
  uint16_t flip_mask = 0;  // XORed into the frame's data bits as they travel
  std::vector<uint8_t> insert_after;  // characters put on the line right after this one
};

// Called for every counted character with its index and value; its action adds to the others.
using FaultHook = std::function<FaultAction(uint64_t index, uint8_t value)>;

class LineFaults {
 public:
  // Flips data bits (mask over bit 0 = first data bit) of the index-th character.
  void FlipBits(uint64_t index, uint16_t mask) { flips_[index] ^= mask; }
  void Drop(uint64_t index) { drops_[index] = true; }
  void InsertAfter(uint64_t index, std::vector<uint8_t> bytes);
  // Each bit of every frame (start, data, parity and stop bits) is inverted with this chance.
  void SetBitErrorRate(double probability) { bit_error_rate_ = probability; }
  // Characters whose frame would start in [from, until) are lost; the line stays idle.
  void Silence(host::kernel::Ticks from, host::kernel::Ticks until);
  // A burst of noise: in [from, until) bits are inverted with this chance (the higher of it and
  // the standing rate).
  void Burst(host::kernel::Ticks from, host::kernel::Ticks until, double bit_error_rate);
  // In [from, until) what this end sends also reaches its own receiver (a half-duplex line, or a
  // transmit line shorted to the receive line).
  void Echo(host::kernel::Ticks from, host::kernel::Ticks until);
  void SetHook(FaultHook hook) { hook_ = std::move(hook); }
  void Clear();

  // Characters this direction has counted so far: FlipBits(next_index() + 2, 1) damages the
  // third character of what is sent next.
  uint64_t next_index() const { return next_index_; }

  // --- used by the line ---
  // Everything that befalls the next counted character, which starts on the wire at `start`.
  FaultAction Next(uint8_t value, host::kernel::Ticks start);
  bool SilentAt(host::kernel::Ticks when) const;
  bool EchoAt(host::kernel::Ticks when) const;
  double BitErrorRateAt(host::kernel::Ticks when) const;

 private:
  std::map<uint64_t, uint16_t> flips_;
  std::map<uint64_t, bool> drops_;
  std::map<uint64_t, std::vector<uint8_t>> inserts_;
  using Window = std::pair<host::kernel::Ticks, host::kernel::Ticks>;
  static bool In(const std::vector<Window>& windows, host::kernel::Ticks when);
  std::vector<Window> silences_;
  std::vector<Window> echoes_;
  std::vector<std::pair<Window, double>> bursts_;
  double bit_error_rate_ = 0;
  FaultHook hook_;
  uint64_t next_index_ = 0;
};

// Each character dropped (or, with insert, followed by a random one) with chance `rate`, drawn
// from its own generator so that a seed replays the faults.
FaultHook RandomCharacterFaults(uint64_t seed, double rate, bool insert);

}  // namespace sim
