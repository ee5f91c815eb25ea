#include "pcsc/handler_machine.h"

#include <cstdio>
#include <cstdlib>

namespace pcsc {

namespace {

constexpr host::kernel::Ticks kTrimEvery = host::kernel::Seconds(10);

// Set (to anything) in pcscd's environment, the driver's debug output goes to pcscd's stderr.
constexpr char kDebugVariable[] = "ZARQ7_IFD_DEBUG";

host::machine::MachineOptions RealTime() {
  host::machine::MachineOptions options;
  // pcscd's calls, and the vicc emulator, come in real time.
  options.kernel.mode = host::kernel::Mode::kReal;
  options.kernel.echo_debug_print = std::getenv(kDebugVariable) != nullptr;
  return options;
}

}  // namespace

HandlerMachine::HandlerMachine() : machine_(RealTime()) {}

std::unique_ptr<HandlerMachine> HandlerMachine::Start(std::string* error) {
  std::unique_ptr<HandlerMachine> hm(new HandlerMachine());
  HandlerMachine* raw = hm.get();
  raw->runner_ = std::thread([raw] {
    host::kernel::RunResult result =
        raw->machine_.Run([raw](host::machine::Machine& m) { raw->Body(m); });
    // Said at once: pcscd's calls answer IFD_NO_SUCH_DEVICE from now on.
    if (!result.ok())
      std::fprintf(stderr, "zarq7 ifd: the machine stopped: %s\n", result.report.c_str());
    {
      std::lock_guard lock(raw->outside_->mu);
      raw->outside_->machine_ended = true;
      raw->report_ = result.report;
    }
    raw->outside_->cv.notify_all();
  });
  std::unique_lock lock(raw->outside_->mu);
  raw->outside_->cv.wait(lock, [raw] { return raw->ready_ || raw->outside_->machine_ended; });
  if (!raw->ready_) {
    *error = raw->report_.empty() ? "it ended at once" : raw->report_;
    lock.unlock();
    return nullptr;  // the runner is joined by the destructor
  }
  return hm;
}

std::string HandlerMachine::Shutdown() {
  if (main_lane_) main_lane_->Stop();
  if (runner_.joinable()) runner_.join();
  return end_report();
}

HandlerMachine::~HandlerMachine() { Shutdown(); }

void HandlerMachine::Body(host::machine::Machine& machine) {
  auto lane = std::make_unique<Lane>(machine.kernel(), outside_);
  Lane* serving = lane.get();
  {
    std::lock_guard lock(outside_->mu);
    main_lane_ = std::move(lane);
    ready_ = true;
  }
  outside_->cv.notify_all();
  serving->Serve(kTrimEvery, [this] { TrimTraces(); });
}

void HandlerMachine::TrimTraces() {
  machine_.bus().trace().Clear();
  for (host::machine::Converter* converter : machine_.converters()) {
    converter->line_trace().Clear();
  }
}

bool HandlerMachine::ended() {
  std::lock_guard lock(outside_->mu);
  return outside_->machine_ended;
}

std::string HandlerMachine::end_report() {
  std::lock_guard lock(outside_->mu);
  return report_;
}

}  // namespace pcsc
