// The converter's end of the serial line, as the converter sees it. The converter knows nothing
// of the line behind it: an adapter onto the simulated line implements LinePort, and the line
// reports back through LineClient, which the converter implements.
//
// Timing and context: everything runs on the kernel's virtual clock in the interrupt context
// (device events at DISPATCH_LEVEL). Neither side waits, and neither calls the other back from
// inside a call: the line reports a finished transmission or an arrived character from its own
// device event.
#pragma once
#include <cstdint>

#include "host/kernel/ticks.h"

namespace sim::converter {

enum class Parity : uint8_t { kNone, kOdd, kEven };

struct LineSettings {
  uint32_t bits_per_second = 9600;
  uint8_t data_bits = 8;
  Parity parity = Parity::kNone;
  uint8_t stop_bits = 1;
  bool operator==(const LineSettings&) const = default;
};

// Start bit, data bits, parity bit and stop bits of one character.
constexpr uint32_t BitsPerCharacter(const LineSettings& s) {
  return 1 + s.data_bits + (s.parity == Parity::kNone ? 0 : 1) + s.stop_bits;
}
// Time one character takes on the wire, rounded down to the kernel's 100 ns.
constexpr host::kernel::Ticks CharacterTime(const LineSettings& s) {
  return host::kernel::Ticks(BitsPerCharacter(s)) * host::kernel::kTicksPerSecond /
         s.bits_per_second;
}

// What the line calls on the converter.
class LineClient {
 public:
  virtual ~LineClient() = default;
  // A whole character arrived; `error` marks a parity or framing error.
  virtual void OnCharacterReceived(uint8_t character, bool error) = 0;
  // The character handed to LinePort::Transmit has left; the transmitter is free again.
  virtual void OnTransmitDone() = 0;
};

// What the converter calls on the line.
class LinePort {
 public:
  virtual ~LinePort() = default;
  // The converter connects itself at construction and disconnects (nullptr) when destroyed.
  virtual void Connect(LineClient* client) = 0;
  virtual void SetLineSettings(const LineSettings& settings) = 0;
  // DTR powers the reader behind the line.
  virtual void SetModemLines(bool dtr, bool rts) = 0;
  // Drops what the line end itself buffers; a character already on the wire is not recalled.
  virtual void Purge(bool receive, bool transmit) = 0;
  // Sends one character at the current settings; called only while the transmitter is free,
  // answered by OnTransmitDone once the character has gone out.
  virtual void Transmit(uint8_t character) = 0;
};

}  // namespace sim::converter
