// One card session as the zarq7 tool runs it, on \Device\USBTESK0 (or the unit the options
// name) opened as an application opens it: the line rate (through the raw reader command), the
// reader's attributes and the card state, a cold reset with the ATR and what it means, the
// protocol selection, and each APDU with its status word explained.
#pragma once

#include <ostream>

#include "tools/command_line.h"

namespace tools {

// Returns the process exit code: 0 when every step and every APDU went through (whatever the
// card's status words), 1 when a step failed.
int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tools
