// zarq7-usbip: the simulated converters served over USB/IP in real time, for any USB/IP client
// (Linux's vhci-hcd, a Windows client, the test bus driver under Wine). See README.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tools/usbip/usbip_service.h"

namespace {

using tools::usbip::ServiceOptions;
using tools::usbip::UsbipCard;

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: zarq7-usbip [options]\n"
    "Serves simulated converters (USB VID F7A5, PID 0C01) with their readers and cards over\n"
    "USB/IP, in real time. Bus ids 1-1, 1-2, ...\n"
    "  --port N             the USB/IP port (default 3240; 0: any free port, printed)\n"
    "  --bind ADDRESS       the address to listen on (default 127.0.0.1)\n"
    "  --control N          a control port on the same address: one command a line, answered\n"
    "                       \"ok\" or \"error: ...\": card out BUSID, card in BUSID, unplug "
    "BUSID,\n"
    "                       plug BUSID, status, quit\n"
    "  --converters N       converters to export, 1 to 8 (default 1)\n"
    "  --card C             builtin (default), t0, none, or vicc (the first converter's card is\n"
    "                       Debian's vicc emulator connecting to --vicc-port; the others builtin)\n"
    "  --vicc-port N        the loopback port for vicc (default 35963)\n"
    "  --reader-profile P   the readers' habits, as zarq7 takes them (ideal, realistic,...)\n"
    "  --faults S           what befalls every converter's reader from plug-in, as zarq7 takes it\n"
    "  --seed N             the cards' and the line faults' seed (default 1)\n";

bool Number(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  try {
    *out = std::stoul(text);
  } catch (...) {
    return false;
  }
  return *out <= max;
}

int Fail(const std::string& why) {
  std::cerr << "zarq7-usbip: " << why << "\n";
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  ServiceOptions o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    static const std::vector<std::string> kValued = {"--port",           "--bind",   "--control",
                                                     "--converters",     "--card",   "--vicc-port",
                                                     "--reader-profile", "--faults", "--seed"};
    if (std::find(kValued.begin(), kValued.end(), a) == kValued.end()) {
      return Fail("unknown option " + a + " (see --help)");
    }
    if (i + 1 >= args.size()) return Fail(a + " needs a value");
    const std::string& v = args[++i];
    unsigned long n = 0;
    std::string error;
    if (a == "--port" || a == "--control" || a == "--vicc-port") {
      if (!Number(v, 65535, &n)) return Fail(a + " needs a port number from 0 to 65535");
      if (a == "--port") o.port = uint16_t(n);
      if (a == "--control") o.control_port = uint16_t(n);
      if (a == "--vicc-port") o.vicc_port = uint16_t(n);
    } else if (a == "--bind") {
      o.bind = v;
    } else if (a == "--converters") {
      if (!Number(v, tools::usbip::kMaxExported, &n) || n == 0) {
        return Fail("--converters needs a number from 1 to 8");
      }
      o.converters = unsigned(n);
    } else if (a == "--card") {
      if (v == "builtin") {
        o.card = UsbipCard::kBuiltin;
      } else if (v == "t0") {
        o.card = UsbipCard::kT0Only;
      } else if (v == "none") {
        o.card = UsbipCard::kNone;
      } else if (v == "vicc") {
        o.card = UsbipCard::kVicc;
      } else {
        return Fail("--card takes builtin, t0, none or vicc");
      }
    } else if (a == "--reader-profile") {
      if (!sim::ParseReaderProfile(v, &o.reader_profile, &error)) return Fail(error);
    } else if (a == "--faults") {
      if (!sim::ParseFaultScript(v, &o.faults, &error)) return Fail(error);
    } else if (a == "--seed") {
      if (!Number(v, ~0ul, &n)) return Fail("--seed needs a number");
      o.seed = n;
    }
  }

  // SIGINT and SIGTERM end the service as "quit" does: a thread of its own waits for them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  tools::usbip::Service service(o);
  std::string error;
  if (!service.Start(&error)) {
    std::cerr << "zarq7-usbip: " << error << "\n";
    return 1;
  }
  std::thread signals([&] {
    int signal = 0;
    sigwait(&stop_signals, &signal);
    service.RequestQuit();
  });
  std::cout << "zarq7-usbip: serving";
  for (unsigned i = 0; i < o.converters; ++i) std::cout << " 1-" << i + 1;
  std::cout << " (f7a5:0c01) on " << o.bind << ":" << service.port();
  if (o.control_port) std::cout << ", control on " << o.bind << ":" << service.control_port();
  if (o.card == UsbipCard::kVicc) {
    std::cout << ", vicc card on 127.0.0.1:" << service.vicc_port();
  }
  std::cout << std::endl;
  service.WaitUntilQuit();
  service.Stop();
  // The signal thread still waits: wake it with a signal of its own kind and let it end.
  pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  return 0;
}
