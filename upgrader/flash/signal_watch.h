// SIGINT, SIGTERM and SIGHUP handed to the main loop: while a SignalWatch
// lives, each of these signals calls `onSignal` with its number on the main
// thread instead of ending the process, so that the program can stop its
// upgrades and close its ports (which clears their exclusive flags and lock
// files) before it exits. One at a time per process.
//
// Threads: create and destroy on the main thread. The signal descriptor is
// read on the background thread; `onSignal` runs on the main thread only
// while the watch lives. The destructor runs the main loop until the
// background side has let go, then gives the signals their previous
// dispositions back.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace flash {

class SignalWatch {
public:
    explicit SignalWatch(std::function<void(int signal)> onSignal);
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<std::atomic<bool>> released_ = std::make_shared<std::atomic<bool>>(false);
};

// "SIGINT", "SIGTERM", "SIGHUP", else "signal N".
std::string signalName(int signal);

}  // namespace flash
