// The fault classes of the whole-stack fault matrix. Each names what befalls one card session of
// an application (the line, the reader, the converter, the machine, the pool) and how the fault
// ends, so that a clean session must go through afterwards.
//
// A class acts from the machine's main thread while the application's session runs on its own
// thread: `strike` waits for its moment (a random one of the session, or one the session's
// progress gives) and puts the fault to work; `heal` runs once the session has ended and ends the
// fault (the card put back, the converter plugged in again, ...).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "host/machine/converter.h"
#include "host/machine/machine.h"
#include "sim/reader_block_faults.h"

namespace fault_matrix {

// What a class sees of the run it acts in.
struct FaultContext {
  FaultContext(host::machine::Machine& machine, host::machine::Converter* converter,
               host::machine::ConverterOptions plug_options, uint64_t seed)
      : machine(machine), converter(converter), plug_options(std::move(plug_options)), rng(seed) {}

  host::machine::Machine& machine;
  host::machine::Converter* converter;           // the one the session uses; replaced after removal
  host::machine::ConverterOptions plug_options;  // what it was plugged in with
  std::mt19937_64 rng;
  std::atomic<bool> transmitting{false};  // the session is in a card command
  std::atomic<bool> session_over{false};
  std::shared_ptr<sim::BlockFaultRecord> block_fault;  // the reader's block classes
  uint8_t stalled = 0;                                 // the endpoint the stall class halted
  bool struck = false;  // the fault met the session (classes that act from its start always do)
  uint64_t allocation_to_fail = 0;  // the pool class: counted from the session's start

  // Waits `delay` of virtual time or until the session is over; whether the fault may still
  // strike in the session (and then it counts as struck).
  bool WaitInSession(host::kernel::Ticks delay);
  // Waits until the session is in a card command (or over), then `delay` more.
  bool WaitInCommand(host::kernel::Ticks delay);
  host::kernel::Ticks Draw(host::kernel::Ticks low, host::kernel::Ticks high);
  // A moment of a session: up to its usual length from its start.
  host::kernel::Ticks AnyMoment();
  // The converter leaves the bus if it has not; a new one is plugged in for what follows.
  void PlugAgain();
};

struct FaultClass {
  FaultClass(std::string name, std::string description, host::kernel::Ticks bound)
      : name(std::move(name)), description(std::move(description)), bound(bound) {}

  std::string name;         // for --class
  std::string description;  // for the table
  // Every request of the session, and of the clean session after it, completes within this
  // much virtual time.
  host::kernel::Ticks bound = 0;
  // Settings of the converter before it is plugged in (none: the realistic reader).
  std::function<void(host::machine::ConverterOptions&)> configure;
  // Right before the session's first request.
  std::function<void(FaultContext&)> prepare;
  std::function<void(FaultContext&)> strike;
  std::function<void(FaultContext&)> heal;
};

// Every class, in the table's order.
std::vector<FaultClass> FaultClasses();

}  // namespace fault_matrix
