// The card states the smart card library reports, for people.
#pragma once

#include <cstdint>
#include <string>

namespace tools {

// "no card", "card present, not powered", ... for a SCARD_* card state.
std::string CardStateName(uint32_t state);

}  // namespace tools
