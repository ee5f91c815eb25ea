// Time in the kernel's unit, 100 ns.
#pragma once
#include <cstdint>

namespace host::kernel {

using Ticks = int64_t;

constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks kNoDeadline = INT64_MAX;

constexpr Ticks Milliseconds(int64_t ms) { return ms * kTicksPerMillisecond; }
constexpr Ticks Microseconds(int64_t us) { return us * kTicksPerMicrosecond; }
constexpr Ticks Seconds(int64_t s) { return s * kTicksPerSecond; }

}  // namespace host::kernel
