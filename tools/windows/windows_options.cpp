#include "tools/windows/windows_options.h"

#include "tools/command_operands.h"

namespace tools::win {

namespace {

struct CommandName {
  const char* name;
  Command command;
};
constexpr CommandName kCommands[] = {
    {"session", Command::kSession}, {"watch", Command::kWatch},     {"usb", Command::kUsb},
    {"status", Command::kStatus},   {"reading", Command::kReading}, {"purge", Command::kPurge},
    {"raw", Command::kRaw},         {"vendor", Command::kVendor},   {"list", Command::kList}};
// Device units the driver names: USBTESK0 to USBTESK8.
constexpr uint32_t kLargestUnit = 8;

CommandLine Fail(std::string error) {
  CommandLine c;
  c.error = std::move(error);
  return c;
}

}  // namespace

std::string UsageText() {
  return "usage: zarq7.exe [session] [options] [APDU ...]\n"
         "       zarq7.exe watch [options]\n"
         "       zarq7.exe usb [options] [SETTING]\n"
         "       zarq7.exe status [options]\n"
         "       zarq7.exe reading on|off|stop|start [options]\n"
         "       zarq7.exe purge [transmit|receive] [options]\n"
         "       zarq7.exe raw [options] HEX ...\n"
         "       zarq7.exe vendor [options] [TAG]\n"
         "       zarq7.exe list\n"
         "The reader is found through the smart card reader device interface (SetupDi) and\n"
         "every request is a DeviceIoControl on it, as an application sends it.\n"
         "commands:\n"
         "  session   the reader's attributes and card state, a cold reset with the ATR\n"
         "            explained, the protocol selected, each APDU with its status word explained\n"
         "  watch     card insertions and removals, through IOCTL_SMARTCARD_IS_PRESENT and\n"
         "            IS_ABSENT requests that wait in the driver; Ctrl-C ends it\n"
         "  usb       the converter's descriptors as lsusb -v shows them, the driver's pipe\n"
         "            table and the interface setting in use (SETTING: select it first)\n"
         "  status    the converter's status ports and counters, bit by bit\n"
         "  reading   permanent reading on|off, the reading thread stop|start\n"
         "  purge     the converter's transmit and receive purges\n"
         "  raw       reader commands through the driver's raw reader command (0x3100DC),\n"
         "            several separated by commas, each answer explained\n"
         "  vendor    the driver's answer to a vendor request (an attribute tag, 70000 to\n"
         "            7FFFF hex; 7A000 when none)\n"
         "  list      the readers' device interface paths\n"
         "options:\n"
         "  --unit N          the reader whose device unit is N (USBTESK<N>; default: the\n"
         "                    first reader found)\n"
         "  --device PATH     open PATH instead of searching for readers\n"
         "  --protocol t1|t0  the protocol the session selects (default t1)\n"
         "  --for SECONDS     watch: how long (default: until interrupted)\n"
         "  --help            this text\n"
         "examples: zarq7.exe 00A4000C023F00 80F00010\n"
         "          zarq7.exe raw 20 13 00 80 00\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  Options& o = result.options;
  size_t first = 0;
  if (!arguments.empty()) {
    for (const CommandName& c : kCommands) {
      if (arguments[0] == c.name) {
        o.command = c.command;
        first = 1;
      }
    }
  }
  CommandOperands<Options> operands(o, "session watch usb status reading purge raw vendor list");
  for (size_t i = first; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= arguments.size()) return false;
      *v = arguments[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h" || a == "/?") {
      result.help = true;
    } else if (a == "--protocol") {
      if (!value(&v)) return Fail("--protocol needs a value: t1 or t0");
      if (v == "t1" || v == "T=1") {
        o.t1 = true;
      } else if (v == "t0" || v == "T=0") {
        o.t1 = false;
      } else {
        return Fail("unknown protocol '" + v + "': use t1 or t0");
      }
    } else if (a == "--unit") {
      uint32_t unit = 0;
      if (!value(&v) || !ParseNumber(v, &unit) || unit > kLargestUnit) {
        return Fail("--unit needs a number from 0 to 8");
      }
      o.unit = unit;
    } else if (a == "--device") {
      if (!value(&o.device) || o.device.empty()) return Fail("--device needs a path");
    } else if (a == "--for") {
      host::kernel::Ticks t = 0;
      if (!value(&v) || !ParseSeconds(v, &t) || t == 0) {
        return Fail("--for needs a time in seconds, more than 0 and at most 86400");
      }
      o.watch_for = t;
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unknown option '" + a + "' (see --help)");
    } else if (std::optional<std::string> error = operands.Take(a)) {
      return Fail(*error);
    }
  }
  if (std::optional<std::string> error = operands.Finish()) return Fail(*error);
  result.ok = true;
  return result;
}

}  // namespace tools::win
