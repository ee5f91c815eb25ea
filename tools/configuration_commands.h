// The configuration tool's commands, each through the driver's requests on the opened reader:
//   usb      the converter's descriptors as lsusb -v shows them, the driver's pipe table and the
//            interface setting in use (after selecting SETTING, when given)
//   status   the converter's status ports and counters, bit by bit
//   reading  permanent reading on or off (and whether the driver keeps an IN transfer pending
//            afterwards), or the reading thread stopped or started
//   purge    the converter's transmit and receive purges
//   raw      raw reader commands with the reader's answers, the command named and its status
//            word explained
//   vendor   the driver's answer to a vendor request
// Each returns the process exit code: 0, or 1 when a request failed.
#pragma once

#include <ostream>

#include "tools/command_line.h"

namespace tools {

int RunUsb(const SessionOptions& options, std::ostream& out, std::ostream& err);
int RunStatus(const SessionOptions& options, std::ostream& out, std::ostream& err);
int RunReading(const SessionOptions& options, std::ostream& out, std::ostream& err);
int RunPurge(const SessionOptions& options, std::ostream& out, std::ostream& err);
int RunRaw(const SessionOptions& options, std::ostream& out, std::ostream& err);
int RunVendor(const SessionOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tools
