// What an answer to reset says about the card, line by line, for people.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tools {

// One line per fact: convention, protocols offered, rates, guard time, T=0 and T=1 parameters,
// each naming the interface byte it was read from or saying that its byte is absent and the
// value is the default; the historical bytes and what their compact-TLV objects mean; the check
// byte. An ATR that does not parse gives a single line saying so.
std::vector<std::string> ExplainAtr(std::span<const uint8_t> atr);

}  // namespace tools
