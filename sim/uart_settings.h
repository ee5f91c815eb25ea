// The framing of one end of an asynchronous serial line: bit rate, data bits, parity and stop
// bits, and the time one character takes at those settings.
#pragma once

#include <cstdint>
#include <string>

#include "host/kernel/ticks.h"

namespace sim {

enum class Parity : uint8_t { kNone, kOdd, kEven, kMark, kSpace };

constexpr uint32_t kMinBitRate = 1200;
constexpr uint32_t kMaxBitRate = 115200;
// A UART's clock may be off its nominal rate by this many percent (a reader clocked from a card
// oscillator, 3.579545 MHz / 372 = 9622 bit/s, is 0.23 % fast; cheap ones are off by up to 3 %).
constexpr uint32_t kClockTolerancePercent = 5;
constexpr uint8_t kMinDataBits = 5;
constexpr uint8_t kMaxDataBits = 8;
constexpr uint8_t kStartBits = 1;

struct UartSettings {
  uint32_t bit_rate = 9600;
  uint8_t data_bits = 8;
  Parity parity = Parity::kEven;
  uint8_t stop_bits = 1;  // 1 or 2

  // Start bit, data bits, parity bit and stop bits.
  int BitsPerCharacter() const {
    return kStartBits + data_bits + (parity == Parity::kNone ? 0 : 1) + stop_bits;
  }
  bool Valid() const {
    return bit_rate >= kMinBitRate * (100 - kClockTolerancePercent) / 100 &&
           bit_rate <= kMaxBitRate * (100 + kClockTolerancePercent) / 100 &&
           data_bits >= kMinDataBits && data_bits <= kMaxDataBits &&
           (stop_bits == 1 || stop_bits == 2);
  }
  // "9600 8E1"
  std::string ToString() const;
  bool operator==(const UartSettings&) const = default;
};

// What a receiver does with a character whose parity or stop bit is wrong.
enum class CharacterErrors : uint8_t {
  kFlag,    // keeps the value sampled and reports the error (the block is known damaged)
  kIgnore,  // keeps the value sampled and reports nothing: the block's LRC alone checks it
  kDrop,    // throws the character away: the block arrives short
};

// The reader link's settings: 9600 bit/s, 8 data bits, even parity, one stop bit.
constexpr UartSettings kLinkSettings{9600, 8, Parity::kEven, 1};

// Exact duration of `bits` bit times at `rate`, in (fractional) ticks.
inline double BitsToTicks(uint64_t bits, uint32_t rate) {
  return double(bits) * double(host::kernel::kTicksPerSecond) / double(rate);
}

// One character's duration, rounded up to whole ticks (11/9600 s at 9600 8E1: 11459 ticks). Up,
// because the line hands a character over at the first tick at or after its exact end: a wait of
// one character time then never ends before the character is there (rounded down, it would end a
// fraction of a tick early and miss it).
host::kernel::Ticks CharacterTime(const UartSettings& settings);

// The parity bit the settings give to the low data_bits of value (0 for Parity::kNone).
uint8_t ParityBit(const UartSettings& settings, uint8_t value);

}  // namespace sim
