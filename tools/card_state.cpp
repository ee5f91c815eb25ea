#include "tools/card_state.h"

#include "platform/smclib.h"

namespace tools {

std::string CardStateName(uint32_t state) {
  switch (state) {
    case SCARD_ABSENT:
      return "no card";
    case SCARD_PRESENT:
      return "card present";
    case SCARD_SWALLOWED:
      return "card present, not powered";
    case SCARD_POWERED:
      return "card powered";
    case SCARD_NEGOTIABLE:
      return "card powered, protocol negotiable";
    case SCARD_SPECIFIC:
      return "card powered, protocol selected";
    default:
      return "unknown";
  }
}

}  // namespace tools
