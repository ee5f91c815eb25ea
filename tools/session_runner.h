// One card session as the zarq7 tool runs it: bring the link up, reset the card, print its ATR
// and what it means, select the protocol, send each APDU and explain its status word.
#pragma once

#include <ostream>

#include "tools/command_line.h"

namespace tools {

// Returns the process exit code: 0 when every step and every APDU went through (whatever the
// card's status words), 1 when a step failed.
int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tools
