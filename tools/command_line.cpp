#include "tools/command_line.h"

#include <algorithm>

#include "sim/reader_protocol.h"
#include "tools/command_operands.h"

namespace tools {

namespace {

struct CommandName {
  const char* name;
  Command command;
};
constexpr CommandName kCommands[] = {{"session", Command::kSession}, {"watch", Command::kWatch},
                                     {"usb", Command::kUsb},         {"status", Command::kStatus},
                                     {"reading", Command::kReading}, {"purge", Command::kPurge},
                                     {"raw", Command::kRaw},         {"vendor", Command::kVendor}};

constexpr char kInsertEvent[] = "insert@";
constexpr char kRemoveEvent[] = "remove@";

CommandLine Fail(std::string error) {
  CommandLine c;
  c.error = std::move(error);
  return c;
}

std::optional<std::string> ParseEvent(const std::string& text, SessionOptions& o) {
  CardEvent event;
  std::string time;
  if (text.rfind(kInsertEvent, 0) == 0) {
    event.insert = true;
    time = text.substr(sizeof kInsertEvent - 1);
  } else if (text.rfind(kRemoveEvent, 0) == 0) {
    time = text.substr(sizeof kRemoveEvent - 1);
  } else {
    return "watch event '" + text + "' is not insert@SECONDS or remove@SECONDS";
  }
  if (!ParseSeconds(time, &event.at)) {
    return "watch event '" + text + "' needs a time in seconds from 0 to 86400";
  }
  o.events.push_back(event);
  return std::nullopt;
}

// The script in time order, each event changing what is in the slot.
std::optional<std::string> CheckEvents(SessionOptions& o) {
  if (o.events.empty()) return std::nullopt;
  if (o.card == CardChoice::kVicc) {
    return "with --card vicc the watch follows the emulator live: no insert@ or remove@ times";
  }
  std::stable_sort(o.events.begin(), o.events.end(),
                   [](const CardEvent& a, const CardEvent& b) { return a.at < b.at; });
  bool present = o.card != CardChoice::kNone;
  for (const CardEvent& e : o.events) {
    if (e.insert == present) {
      char at[32];
      std::snprintf(at, sizeof at, "%g", double(e.at) / double(host::kernel::kTicksPerSecond));
      return std::string(e.insert ? "insert@" : "remove@") + at +
             (e.insert ? ": a card is in the slot already" : ": the slot is empty then");
    }
    present = e.insert;
  }
  return std::nullopt;
}

}  // namespace

std::string UsageText() {
  return "usage: zarq7 [session] [options] [APDU ...]\n"
         "       zarq7 watch [options] [insert@SECONDS | remove@SECONDS ...]\n"
         "       zarq7 usb [options] [SETTING]\n"
         "       zarq7 status [options]\n"
         "       zarq7 reading on|off|stop|start [options]\n"
         "       zarq7 purge [transmit|receive] [options]\n"
         "       zarq7 raw [options] HEX[, HEX ...]\n"
         "       zarq7 vendor [options] [TAG]\n"
         "A machine with the driver, its converters plugged in, and an application on it that\n"
         "opens \\Device\\USBTESK0 and does everything through IOCTL_SMARTCARD_* requests.\n"
         "session: reads the reader's attributes, resets the card, explains its ATR, selects\n"
         "         the protocol and sends each APDU (hex).\n"
         "watch:   prints card insertions and removals as they happen, through presence\n"
         "         requests that wait in the driver; in simulation the card goes in and out at\n"
         "         the times given (seconds after watching began), with --card vicc it follows\n"
         "         the emulator connecting and going away.\n"
         "usb:     the converter's device and configuration descriptors as lsusb -v shows\n"
         "         them, the driver's pipe table and the interface setting in use; with\n"
         "         SETTING, selects that alternate setting of interface 0 first.\n"
         "status:  the converter's status ports 1, 2 and 4 and its counters, bit by bit.\n"
         "reading: permanent reading on or off (and whether an IN transfer is pending on the\n"
         "         bus afterwards), or the driver's reading thread stopped or started.\n"
         "purge:   the converter's transmit and receive purges (both when none is named).\n"
         "raw:     reader commands through the driver's raw reader command, each named, with\n"
         "         the reader's answer and its status word explained (several: separate them\n"
         "         with commas).\n"
         "vendor:  the driver's answer to a vendor request: an attribute of the vendor-defined\n"
         "         class (TAG in hex, default 7A000).\n"
         "options:\n"
         "  --card builtin|t0|none|vicc  the card in the slot (default builtin; t0 is the "
         "T=0-only\n"
         "                               variant; vicc is an emulator connecting to a loopback\n"
         "                               port, run in real time)\n"
         "  --vicc-port N                the loopback port for vicc (default 35963)\n"
         "  --protocol t1|t0             the card protocol to select (default t1)\n"
         "  --rate N                     line rate after bring-up: 9600 19200 28800 38400 57600\n"
         "                               115200 (default 9600), asked of the reader with the\n"
         "                               driver's raw reader command\n"
         "  --unit N                     open \\Device\\USBTESK<N> (0 to 8, default 0)\n"
         "  --converters N               converters to plug in (1 to 10; default: as many as\n"
         "                               the unit needs; the tenth finds no name left)\n"
         "  --interface                  open the reader through its smart card reader interface\n"
         "  --trace                      print what happened from plug-in on: configuration,\n"
         "                               line settings, the DTR cycle and every T=1 block\n"
         "  --usb                        the trace with every URB as well (--usb turns --trace\n"
         "                               on)\n"
         "  --timing                     where each APDU's time went, in virtual time\n"
         "  --pcap FILE                  write the URBs as a USBPcap capture (Wireshark)\n"
         "  --silent-reader              the reader stops answering once the link is up (shows\n"
         "                               how a reader that does not answer is reported)\n"
         "  --reader-profile P           the reader's habits: ideal (default) or realistic, then\n"
         "                               ,key=value settings: turnaround=1ms-20ms gap=2ms\n"
         "                               guard=2ms card=10ms card-byte=1250us wtx=4s\n"
         "                               wtx-jitter=250ms no-wtx clock=2331 (ppm) ifsc=254\n"
         "                               sizes=32/64 addressed parity=flag|ignore|drop\n"
         "                               bad-blocks=2 deaf removal-at-once holdup=100ms\n"
         "                               chain-timeout=10s seed=7\n"
         "  --faults S                   what befalls the session, items separated by ';':\n"
         "                               N:hK:ACTIONS in place of the reader's reply to the\n"
         "                               host's K-th block of the N-th card command, N:aJ:ACTIONS\n"
         "                               once the host acknowledged its J-th answer block;\n"
         "                               ACTIONS: wtx=M ifs=S abort restart remove sw=XXXX,\n"
         "                               several joined by ','. @TIME:EVENT at a virtual time:\n"
         "                               restart remove insert dtr-drop=D silence=D noise=D/N\n"
         "                               burst=D/RATE break=D inject=XX[!] echo=D, line faults\n"
         "                               toward the host unless followed by '>reader'\n"
         "                               (example: \"1:h1:wtx=2,ifs=32;@2.5s:remove\")\n"
         "  --for SECONDS                watch: how long (default: 3 s after the last event;\n"
         "                               with vicc until interrupted)\n"
         "  --seed N                     the simulation's seed (default 1): it draws the\n"
         "                               built-in card's random answers (GET CHALLENGE) and\n"
         "                               the order in which the machine's ready threads run\n"
         "  --help                       this text\n"
         "the built-in card's commands (README lists them with their answers):\n"
         "  00A4000C02FFFF SELECT file FFFF (3F00, 0101)  00B00000LL READ BINARY of LL bytes\n"
         "  0084000008     GET CHALLENGE of 8 bytes       80F0NNNN   READ PATTERN of NNNN bytes\n"
         "  80F20000LL...  WRITE PATTERN                  (the length is in P1-P2, not in an Le)\n"
         "examples: zarq7 --trace 00A4000C023F00 80F00010\n"
         "          zarq7 watch remove@2 insert@4.5\n"
         "          zarq7 raw 20 13 00 80 00\n"
         "          zarq7 --rate 115200 --trace 00A4000C023F00\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  SessionOptions& o = result.options;
  size_t first = 0;
  if (!arguments.empty()) {
    for (const CommandName& c : kCommands) {
      if (arguments[0] == c.name) {
        o.command = c.command;
        first = 1;
      }
    }
  }
  CommandOperands<SessionOptions> operands(o, "session watch usb status reading purge raw vendor");
  for (size_t i = first; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= arguments.size()) return false;
      *v = arguments[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      result.help = true;
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--timing") {
      o.timing = true;
    } else if (a == "--usb") {
      // The URBs are trace lines: asking for them asks for the trace.
      o.usb = true;
      o.trace = true;
    } else if (a == "--interface") {
      o.reader_interface = true;
    } else if (a == "--silent-reader") {
      o.silent_reader = true;
    } else if (a == "--reader-profile") {
      std::string error;
      if (!value(&v)) return Fail("--reader-profile needs a value: ideal or realistic");
      if (!sim::ParseReaderProfile(v, &o.reader_profile, &error)) return Fail(error);
    } else if (a == "--faults") {
      std::string error;
      if (!value(&v)) return Fail("--faults needs a script (see --help)");
      if (!sim::ParseFaultScript(v, &o.faults, &error)) return Fail(error);
    } else if (a == "--pcap") {
      if (!value(&o.pcap) || o.pcap.empty()) return Fail("--pcap needs a file name");
    } else if (a == "--card") {
      if (!value(&v)) return Fail("--card needs a value: builtin, t0, none or vicc");
      if (v == "builtin") {
        o.card = CardChoice::kBuiltin;
      } else if (v == "t0") {
        o.card = CardChoice::kT0Only;
      } else if (v == "none") {
        o.card = CardChoice::kNone;
      } else if (v == "vicc") {
        o.card = CardChoice::kVicc;
      } else {
        return Fail("unknown card '" + v + "': use builtin, t0, none or vicc");
      }
    } else if (a == "--vicc-port") {
      if (!value(&v) || !ParseNumber(v, &o.vicc_port) || o.vicc_port == 0) {
        return Fail("--vicc-port needs a port number from 1 to 65535");
      }
    } else if (a == "--protocol") {
      if (!value(&v)) return Fail("--protocol needs a value: t1 or t0");
      if (v == "t1" || v == "T=1") {
        o.protocol = ProtocolChoice::kT1;
      } else if (v == "t0" || v == "T=0") {
        o.protocol = ProtocolChoice::kT0;
      } else {
        return Fail("unknown protocol '" + v + "': use t1 or t0");
      }
    } else if (a == "--rate") {
      bool known = false;
      if (value(&v) && ParseNumber(v, &o.rate)) {
        for (uint32_t r : sim::kRateByCode) known = known || r == o.rate;
      }
      if (!known) return Fail("--rate must be one of 9600 19200 28800 38400 57600 115200");
    } else if (a == "--unit") {
      if (!value(&v) || !ParseNumber(v, &o.unit) || o.unit > kMaxConverters - 2) {
        return Fail("--unit needs a number from 0 to 8");
      }
    } else if (a == "--converters") {
      if (!value(&v) || !ParseNumber(v, &o.converters) || o.converters == 0 ||
          o.converters > kMaxConverters) {
        return Fail("--converters needs a number from 1 to 10");
      }
    } else if (a == "--for") {
      host::kernel::Ticks t = 0;
      if (!value(&v) || !ParseSeconds(v, &t) || t == 0) {
        return Fail("--for needs a time in seconds, more than 0 and at most 86400");
      }
      o.watch_for = t;
    } else if (a == "--seed") {
      if (!value(&v) || !ParseNumber(v, &o.seed)) return Fail("--seed needs a number");
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unknown option '" + a + "' (see --help)");
    } else {
      std::optional<std::string> error =
          o.command == Command::kWatch ? ParseEvent(a, o) : operands.Take(a);
      if (error) return Fail(*error);
    }
  }
  if (std::optional<std::string> error = operands.Finish()) return Fail(*error);
  if (o.converters != 0 && o.unit >= o.converters) {
    return Fail("--unit " + std::to_string(o.unit) + " needs at least " +
                std::to_string(o.unit + 1) + " converters");
  }
  if (std::optional<std::string> error = CheckEvents(o)) return Fail(*error);
  result.ok = true;
  return result;
}

}  // namespace tools
