// The card states the smart card library reports, for people.
#pragma once

#include <string>

#include "platform/smclib.h"

namespace tools {

// "no card", "card present, not powered", ... for a SCARD_* card state.
std::string CardStateName(ULONG state);

}  // namespace tools
