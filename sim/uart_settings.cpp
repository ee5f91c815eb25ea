#include "sim/uart_settings.h"

#include <bit>
#include <cmath>

namespace sim {

std::string UartSettings::ToString() const {
  static constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
  return std::to_string(bit_rate) + " " + std::to_string(data_bits) +
         kParityLetters[static_cast<int>(parity)] + std::to_string(stop_bits);
}

host::kernel::Ticks CharacterTime(const UartSettings& settings) {
  return host::kernel::Ticks(
      std::ceil(BitsToTicks(settings.BitsPerCharacter(), settings.bit_rate)));
}

uint8_t ParityBit(const UartSettings& settings, uint8_t value) {
  uint8_t data = value & uint8_t((1u << settings.data_bits) - 1);
  uint8_t ones = uint8_t(std::popcount(data) & 1);
  switch (settings.parity) {
    case Parity::kNone:
      return 0;
    case Parity::kEven:
      return ones;
    case Parity::kOdd:
      return ones ^ 1;
    case Parity::kMark:
      return 1;
    case Parity::kSpace:
      return 0;
  }
  return 0;
}

}  // namespace sim
