// A cancellable one-shot timer on the main thread's event loop, for the page
// timer and the wait for the version report. Main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "upgrader/engine/upgrade_view.h"

namespace flash {

// Calls `fire` once on the main thread after `interval` unless the answered
// handle was invalidated first. Destroying the handle does not cancel it
// (as the engine expects of a page timer); invalidate() does, also from
// inside `fire`.
std::unique_ptr<upgrader::PageTimer> startOneShotTimer(std::chrono::milliseconds interval,
                                                       std::function<void()> fire);

}  // namespace flash
