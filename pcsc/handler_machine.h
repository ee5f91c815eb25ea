// The machine inside pcscd: one real-time machine for every reader the handler serves, as one PC
// holds every reader plugged into it. It boots when pcscd opens the first reader and shuts down
// (with the machine's leak checks) when pcscd closes the last one. The machine runs in a thread
// of its own; its first thread serves the main lane (plugging converters in and pulling them out),
// and every reader gets lanes of its own (reader_slot.h).
//
// Every ten seconds of quiet the main lane empties the URB trace and the lines' traces, which
// would otherwise grow as long as pcscd runs.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "host/machine/machine.h"
#include "pcsc/machine_lane.h"

namespace pcsc {

class HandlerMachine {
 public:
  // Boots the machine and waits until the driver is loaded; nullptr and *error when it is not.
  static std::unique_ptr<HandlerMachine> Start(std::string* error);
  // Shuts the machine down (its readers closed by then) and says how that went: "" when all was
  // well, else the verifier's or the shutdown checks' report.
  std::string Shutdown();
  ~HandlerMachine();
  HandlerMachine(const HandlerMachine&) = delete;
  HandlerMachine& operator=(const HandlerMachine&) = delete;

  host::machine::Machine& machine() { return machine_; }
  host::kernel::Kernel& kernel() { return machine_.kernel(); }
  const std::shared_ptr<OutsideWaits>& outside() { return outside_; }
  // Plugging, unplugging and lane creation run here.
  Lane& main_lane() { return *main_lane_; }
  // Whether the machine has stopped (the verifier, a deadlock) or shut down; and why.
  bool ended();
  std::string end_report();

 private:
  HandlerMachine();
  void Body(host::machine::Machine& machine);
  void TrimTraces();

  std::shared_ptr<OutsideWaits> outside_ = std::make_shared<OutsideWaits>();
  host::machine::Machine machine_;
  std::unique_ptr<Lane> main_lane_;
  bool ready_ = false;  // guarded by outside_->mu
  std::string report_;  // guarded by outside_->mu, once ended
  std::thread runner_;
};

}  // namespace pcsc
