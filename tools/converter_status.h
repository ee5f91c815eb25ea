// The converter's status ports and counters put into words, bit by bit. Each reply is the first
// four bytes the converter sent (what the driver's command record returns).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

struct ConverterStatus {
  std::vector<uint8_t> capabilities;  // port 1
  std::vector<uint8_t> identity;      // port 2
  std::vector<uint8_t> flow;          // port 4
  std::vector<uint8_t> counters;      // counters request
};

std::vector<std::string> DescribeConverterStatus(const ConverterStatus& status);

}  // namespace tools
