// zarq7 watch: card insertions and removals as an application sees them, through presence
// requests (IOCTL_SMARTCARD_IS_PRESENT, IS_ABSENT) that wait in the driver until the card comes
// or goes. In simulation the card goes in and out at the script's times; with the vicc card it
// follows the emulator, live, until the time is up or the tool is interrupted.
#pragma once

#include <ostream>

#include "tools/command_line.h"

namespace tools {

// Returns the process exit code: 0 when the watch ran its time, 1 when a request failed.
int RunWatch(const SessionOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tools
