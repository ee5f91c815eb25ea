// A run of the sequence explorer as data: the machine it boots (converters and their readers'
// profiles, the platform) and, per actor, the operations it carries out and when. A plan is drawn
// from a seed, printed as text and read back, and shrunk by dropping operations from it; the same
// plan always makes the same run.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "host/kernel/ticks.h"

namespace explorer {

using host::kernel::Ticks;

inline constexpr int kMostConverters = 3;
inline constexpr int kAppThreads = 2;

// Who carries out an operation: an application thread on a device's handle, the configuration
// tool on the same device, the system (Plug and Play, power, the hardware, the pool), or someone
// plugging converters of their own into the bus (device is 0).
enum class ActorKind : uint8_t { kApp, kTool, kSystem, kBus };
struct Actor {
  ActorKind kind = ActorKind::kSystem;
  uint8_t device = 0;
  uint8_t thread = 0;  // application threads only
  bool operator==(const Actor&) const = default;
  bool operator<(const Actor& o) const {
    return std::tie(kind, device, thread) < std::tie(o.kind, o.device, o.thread);
  }
};
std::string ActorName(const Actor& actor);  // "app0.1", "tool2", "system1", "bus"

enum class OpKind : uint8_t {
  // application
  kGetState,
  kAttribute,     // arg: which attribute
  kPower,         // arg: 0 cold, 1 warm, 2 down
  kSetProtocol,   // arg: 0 T=1, 1 T=0 or T=1, 2 T=0
  kTransmit,      // arg: which command (Command())
  kPresentWait,   // IS_PRESENT pending, cancelled after arg ms
  kAbsentWait,    // IS_ABSENT pending, cancelled after arg ms
  kCloseWaiting,  // IS_ABSENT pending, the handle closed under it, then reopened
  kReopen,        // close and open again
  // configuration tool
  kPrivate,        // arg: which private request with valid or hostile lengths (PrivateRequest())
  kSelectSetting,  // arg: alternate setting
  kReading,        // arg: 0 permanent off, 1 permanent on, 2 thread stop, 3 thread start
  kPurge,          // arg: 0 transmit, 1 receive, 2 both through the command record
  kLineSettings,   // arg: rate index
  kModemLines,     // arg: 0 DTR drop and raise, 1 DTR off, 2 DTR on
  kRawCommand,     // arg: 0 status, 1.. rate change (kRates)
  kPipeRead,       // a read on \PIPE00 cancelled after arg ms (or ending at its time-out)
  kPipeWrite,      // arg: bytes on \PIPE01
  kWmi,            // a system-control request, sent arg ms after WMI took the stack's top
  // system
  kStopStart,  // QUERY_STOP and STOP, START after arg ms
  kUnplug,     // surprise removal, plugged in again after arg ms
  kSleep,      // sleep, wake after arg ms
  kCardOut,    // card pulled, back after arg ms (0: stays out until the next card-in)
  kCardIn,
  kRestart,   // the reader restarts by itself
  kNoise,     // line noise for arg ms
  kPoolFail,  // the arg-th pool allocation from now fails
  // bus
  kDamagedPlug,  // a converter whose configuration descriptor does not hold together (arg: how)
                 // plugged in for a while
};
inline constexpr int kOpKinds = int(OpKind::kDamagedPlug) + 1;
const char* OpName(OpKind kind);
bool OpByName(const std::string& name, OpKind* kind);

struct Op {
  Ticks at = 0;  // virtual time from the start of the actors
  Actor actor;
  OpKind kind = OpKind::kGetState;
  uint32_t arg = 0;
};

struct Plan {
  uint64_t seed = 1;  // the machine's (the order of its threads, the cards, the line)
  int converters = 1;
  std::vector<bool> realistic;  // per converter: the realistic reader, else the ideal one
  bool legacy = false;          // Windows 98/Me
  Ticks span = 0;               // how long the actors run
  std::vector<Op> ops;          // ordered by time
};

// The plan a seed draws: converters, profiles, platform and every actor's operations.
Plan DrawPlan(uint64_t seed);
std::string PlanText(const Plan& plan);
// On failure *error holds one line.
bool ParsePlan(const std::string& text, Plan* plan, std::string* error);
std::vector<Actor> Actors(const Plan& plan);

// Line rates the raw command and the line settings ask for.
inline constexpr uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200};
inline constexpr uint32_t kRateCount = sizeof(kRates) / sizeof(kRates[0]);

}  // namespace explorer
