// What a card's (or the reader's) status word SW1 SW2 means, in ISO 7816-4's words.
#pragma once

#include <cstdint>
#include <string>

namespace tools {

std::string ExplainStatusWord(uint8_t sw1, uint8_t sw2);

}  // namespace tools
