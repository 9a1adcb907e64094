// The simulator's one clock: monotonic, so wall-clock steps cannot disturb
// pacing or time-outs.
#pragma once

#include <chrono>

namespace sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Nanos = std::chrono::nanoseconds;

}  // namespace sim
