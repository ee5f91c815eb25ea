#include "tools/command_line.h"

#include <charconv>

#include "sim/reader_protocol.h"
#include "tools/hex_text.h"

namespace tools {

namespace {

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

CommandLine Fail(std::string error) {
  CommandLine c;
  c.error = std::move(error);
  return c;
}

}  // namespace

std::string UsageText() {
  return "usage: zarq7 [options] [APDU ...]\n"
         "A card session through the driver against the simulated reader: brings the link up,\n"
         "resets the card, prints its ATR, selects the protocol and sends each APDU (hex).\n"
         "  --card builtin|t0|none|vicc  the card in the slot (default builtin; t0 is the "
         "T=0-only\n"
         "                               variant; vicc is an emulator connecting to a loopback\n"
         "                               port, run in real time)\n"
         "  --vicc-port N                the loopback port for vicc (default 35963)\n"
         "  --protocol t1|t0             the card protocol to select (default t1)\n"
         "  --rate N                     line rate after bring-up: 9600 19200 28800 38400 57600\n"
         "                               115200 (default 9600)\n"
         "  --trace                      print the T=1 blocks on the line with their times\n"
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
         "  --seed N                     the simulation's seed (default 1): it draws the\n"
         "                               built-in card's random answers (GET CHALLENGE) and\n"
         "                               the order in which the machine's ready threads run\n"
         "  --help                       this text\n"
         "example: zarq7 --trace 00A4000C023F00 80F00010\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  SessionOptions& o = result.options;
  for (size_t i = 0; i < arguments.size(); ++i) {
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
    } else if (a == "--seed") {
      if (!value(&v) || !ParseNumber(v, &o.seed)) return Fail("--seed needs a number");
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unknown option '" + a + "' (see --help)");
    } else {
      std::vector<uint8_t> apdu;
      std::string error;
      if (!ParseHexBytes(a, &apdu, &error)) return Fail("APDU " + error);
      if (apdu.size() < kMinApduLength) {
        return Fail("APDU '" + a + "' is too short: a command has at least 4 bytes");
      }
      if (apdu.size() > kMaxApduLength) {
        return Fail("APDU '" + a + "' is too long: " + std::to_string(apdu.size()) +
                    " bytes, at most 261");
      }
      o.apdus.push_back(std::move(apdu));
    }
  }
  result.ok = true;
  return result;
}

}  // namespace tools
