// A cancellable one-shot timer on the main thread's event loop: the page
// timer of an upgrade and the wait for a gimbal's version report. Precise,
// since a coarse timer may fire up to 5% early and a time-out must never come
// before its time. Main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform {

// A scheduled timer. Destroying the handle does not cancel it; invalidate()
// does, also from inside the timer's own callback.
class OneShotTimer {
public:
    virtual ~OneShotTimer() = default;
    virtual void invalidate() = 0;
};

// Calls `fire` once on the main thread after `interval` unless the answered
// handle was invalidated first.
std::unique_ptr<OneShotTimer> startOneShotTimer(std::chrono::milliseconds interval, std::function<void()> fire);

}  // namespace platform
