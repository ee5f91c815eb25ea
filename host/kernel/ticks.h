// Time in the kernel's unit, 100 ns.
#pragma once
#include <cstdint>

namespace host::kernel {

using Ticks = int64_t;

constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks kNoDeadline = INT64_MAX;
// The clock interrupt's interval, what KeQueryTimeIncrement reports: 15.625 ms.
constexpr Ticks kClockTick = 156'250;

constexpr Ticks Milliseconds(int64_t ms) { return ms * kTicksPerMillisecond; }

// How long a delay, timer or wait time-out of `interval` lasts on the clock tick when it starts
// on a tick: whole ticks, rounded up.
constexpr Ticks RoundUpToClockTick(Ticks interval) {
  return (interval + kClockTick - 1) / kClockTick * kClockTick;
}
constexpr Ticks Microseconds(int64_t us) { return us * kTicksPerMicrosecond; }
constexpr Ticks Seconds(int64_t s) { return s * kTicksPerSecond; }

}  // namespace host::kernel
