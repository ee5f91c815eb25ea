// What an answer to reset says about the card, line by line, for people.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tools {

// One line per fact: convention, protocols offered, rates, T=1 parameters, historical bytes.
// An ATR that does not parse gives a single line saying so.
std::vector<std::string> ExplainAtr(std::span<const uint8_t> atr);

}  // namespace tools
