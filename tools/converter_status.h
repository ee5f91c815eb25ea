// The converter's status ports and counters put into words, bit by bit. Each reply is the first
// four bytes the converter sent (what the driver's command record returns).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/converter_control.h"

namespace tools {

struct ConverterStatus {
  std::vector<uint8_t> capabilities;  // port 1
  std::vector<uint8_t> identity;      // port 2
  std::vector<uint8_t> flow;          // port 4
  std::vector<uint8_t> counters;      // counters request
};

std::vector<std::string> DescribeConverterStatus(const ConverterStatus& status);

// Reads the three status ports and the counters through the driver's command record, in that
// order; on a failure *step names the read ("status port 2", "counters") and its status returns.
int32_t ReadConverterStatus(ConverterControl& control, ConverterStatus* status, std::string* step);

}  // namespace tools
