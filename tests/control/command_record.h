// The configuration tool's command record, built as the tool sends it: filler bytes around the
// sub-command, its value and its index, little-endian.
#pragma once
#include <cstdint>
#include <vector>

#include "control/private_interface.h"

namespace test_support {

inline std::vector<uint8_t> CommandRecord(uint8_t sub_command, uint16_t value, uint16_t index = 0) {
  std::vector<uint8_t> r = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
  r[COMMAND_RECORD_SUBCOMMAND] = sub_command;
  r[COMMAND_RECORD_VALUE] = uint8_t(value);
  r[COMMAND_RECORD_VALUE + 1] = uint8_t(value >> 8);
  r[COMMAND_RECORD_INDEX] = uint8_t(index);
  r[COMMAND_RECORD_INDEX + 1] = uint8_t(index >> 8);
  return r;
}

}  // namespace test_support
