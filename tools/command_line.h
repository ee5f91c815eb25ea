// The command line of the zarq7 tool: a command, the options every command shares (the machine,
// the reader and card, the trace) and the command's own operands.
//
//   zarq7 [session] [options] [APDU ...]     a card session (the default command)
//   zarq7 watch [options] [EVENT ...]        card insertions and removals as they happen
//   zarq7 usb [options] [SETTING]            descriptors, pipe table, interface setting
//   zarq7 status [options]                   the converter's status ports, bit by bit
//   zarq7 reading on|off|stop|start          permanent reading and the reading thread
//   zarq7 purge [transmit|receive]           the converter's purges
//   zarq7 raw [options] HEX ...              raw reader commands and the reader's answers
//   zarq7 vendor [options] [TAG]             the driver's answer to a vendor request
//
// A new command adds its name to the command table (command_line.cpp), its operands here, and
// its runner to zarq7.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "sim/fault_script.h"
#include "sim/reader_profile.h"
#include "tools/operands.h"

namespace tools {

enum class Command { kSession, kWatch, kUsb, kStatus, kReading, kPurge, kRaw, kVendor };
enum class CardChoice { kBuiltin, kT0Only, kNone, kVicc };
enum class ProtocolChoice { kT1, kT0 };

inline constexpr uint16_t kDefaultViccPort = 35963;
inline constexpr uint32_t kDefaultRate = 9600;
// Converters a machine may have: one per device name of the driver, and one more to be refused.
inline constexpr unsigned kMaxConverters = 10;

// One line of a watch script: the card goes in or comes out at a time after watching began.
struct CardEvent {
  bool insert = false;
  host::kernel::Ticks at = 0;
};

struct SessionOptions {
  Command command = Command::kSession;
  CardChoice card = CardChoice::kBuiltin;
  uint16_t vicc_port = kDefaultViccPort;
  ProtocolChoice protocol = ProtocolChoice::kT1;
  uint32_t rate = kDefaultRate;
  bool trace = false;
  bool timing = false;         // where each APDU's time went
  bool usb = false;            // the trace shows every URB
  std::string pcap;            // where the USBPcap capture goes, when given
  bool silent_reader = false;  // the reader stops answering once the link is up
  sim::ReaderProfile reader_profile;
  sim::FaultScript faults;
  uint64_t seed = 1;
  unsigned unit = 0;              // the device the tool opens: \Device\USBTESK<unit>
  unsigned converters = 0;        // converters plugged in; 0: as many as the unit needs
  bool reader_interface = false;  // open through the smart card reader interface instead
  // session
  std::vector<std::vector<uint8_t>> apdus;
  // watch
  std::vector<CardEvent> events;
  std::optional<host::kernel::Ticks> watch_for;  // how long to watch
  // usb: the alternate setting to select first
  std::optional<uint8_t> setting;
  // reading, purge
  std::optional<ReadingChoice> reading;
  PurgeChoice purge = PurgeChoice::kBoth;
  // raw
  std::vector<std::vector<uint8_t>> raw_commands;
  // vendor
  uint32_t vendor_tag = kDefaultVendorTag;
};

struct CommandLine {
  bool ok = false;
  bool help = false;
  std::string error;  // one line, when !ok
  SessionOptions options;
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);
std::string UsageText();

}  // namespace tools
