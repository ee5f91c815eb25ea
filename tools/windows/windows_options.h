// The command line of zarq7.exe, the tool's Windows build: the host tool's commands and operands
// on a real system's reader, without the simulated machine's options (card, faults, trace).
//
//   zarq7.exe [session] [options] [APDU ...]    a card session (the default command)
//   zarq7.exe watch [options]                   card insertions and removals as they happen
//   zarq7.exe usb [options] [SETTING]           descriptors, pipe table, interface setting
//   zarq7.exe status [options]                  the converter's status ports, bit by bit
//   zarq7.exe reading on|off|stop|start         permanent reading and the reading thread
//   zarq7.exe purge [transmit|receive]          the converter's purges
//   zarq7.exe raw [options] HEX ...             raw reader commands and the reader's answers
//   zarq7.exe vendor [options] [TAG]            the driver's answer to a vendor request
//   zarq7.exe list                              the readers found
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "tools/operands.h"

namespace tools::win {

enum class Command { kSession, kWatch, kUsb, kStatus, kReading, kPurge, kRaw, kVendor, kList };

struct Options {
  Command command = Command::kSession;
  bool t1 = true;
  // The reader whose device unit attribute is this; the first found when none is given.
  std::optional<uint32_t> unit;
  // A path to open instead of searching.
  std::string device;
  std::vector<std::vector<uint8_t>> apdus;
  std::optional<host::kernel::Ticks> watch_for;  // until interrupted when none
  std::optional<uint8_t> setting;
  std::optional<ReadingChoice> reading;
  PurgeChoice purge = PurgeChoice::kBoth;
  std::vector<std::vector<uint8_t>> raw_commands;
  uint32_t vendor_tag = kDefaultVendorTag;
};

struct CommandLine {
  bool ok = false;
  bool help = false;
  std::string error;  // one line, when !ok
  Options options;
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);
std::string UsageText();

}  // namespace tools::win
