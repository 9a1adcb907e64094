// One time allowance for a program's whole way out. Closing its ports,
// letting go of its signal watch and stopping its threads share it, so that
// one thing that never finishes (a close stuck in a driver holds the poll
// thread, and every later step waits on that thread) holds the exit up for
// the budget once, not once per step. Main thread.
#pragma once

#include <chrono>

namespace platform {

inline constexpr std::chrono::seconds kExitBudget{5};

// Starts the budget's clock; a later call keeps the first start.
void beginExit();
// `limit`, cut to what is left of the budget once the exit has begun.
std::chrono::milliseconds exitTimeLeft(std::chrono::milliseconds limit);
// No exit under way: for a run that starts again in the same process (tests
// run a program's whole course several times).
void forgetExit();

}  // namespace platform
