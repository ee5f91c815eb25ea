// zarq7-usbip's service: a real-time machine with simulated converters (each with its reader,
// the reader's profile and faults, and a card) exported over USB/IP on a TCP port, and a line
// protocol on a second port to change the hardware while it is served.
//
// Threads: the machine's own (its main thread serves the jobs that outside threads hand it, its
// interrupt context runs the devices and every URB); outside it, one thread accepts USB/IP
// connections and one per connection reads the client's messages and another writes the answers;
// the control port likewise. Outside threads reach the devices only through device events.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/fault_script.h"
#include "sim/reader_profile.h"

namespace tools::usbip {

enum class UsbipCard { kBuiltin, kT0Only, kNone, kVicc };

inline constexpr uint16_t kDefaultUsbipPort = 3240;
inline constexpr uint16_t kDefaultViccPort = 35963;
inline constexpr unsigned kMaxExported = 8;

struct ServiceOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = kDefaultUsbipPort;     // 0: any free port
  std::optional<uint16_t> control_port;  // 0: any free port
  unsigned converters = 1;               // bus ids 1-1, 1-2, ...
  sim::ReaderProfile reader_profile;     // every converter's reader
  sim::FaultScript faults;               // on every converter, from plug-in
  UsbipCard card = UsbipCard::kBuiltin;  // vicc: the first converter's, the others builtin
  uint16_t vicc_port = kDefaultViccPort;
  uint64_t seed = 1;
};

class Service {
 public:
  explicit Service(ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Boots the machine, plugs the converters in and listens. False with *error when a port could
  // not be had or the machine did not come up.
  bool Start(std::string* error);
  uint16_t port() const { return port_; }
  uint16_t control_port() const { return control_port_; }
  uint16_t vicc_port() const { return vicc_port_; }

  // A control command ("card out 1-1", "card in 1-1", "unplug 1-1", "plug 1-1", "status",
  // "quit"); answers "ok", "ok: ..." or "error: ...".
  std::string Command(const std::string& line);

  // Until a quit command or RequestQuit().
  void WaitUntilQuit();
  void RequestQuit();
  // Closes every connection and shuts the machine down. Idempotent.
  void Stop();

  struct Machine;
  struct Listener;
  class Connection;

 private:
  ServiceOptions options_;
  std::unique_ptr<Machine> machine_;
  std::unique_ptr<Listener> usbip_;
  std::unique_ptr<Listener> control_;
  uint16_t port_ = 0;
  uint16_t control_port_ = 0;
  uint16_t vicc_port_ = 0;

  std::mutex quit_mu_;
  std::condition_variable quit_cv_;
  bool quit_ = false;
  bool stopped_ = false;
};

}  // namespace tools::usbip
