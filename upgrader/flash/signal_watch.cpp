#include "upgrader/flash/signal_watch.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>

#include "link/termination_signals.h"
#include "upgrader/platform/application.h"
#include "upgrader/platform/exit_budget.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/platform/read_source.h"

namespace flash {

struct SignalWatch::Shared {
    gimbal::TerminationSignals signals;
    std::function<void(int)> onSignal;  // main thread only
    std::unique_ptr<platform::ReadSource> source;
};

SignalWatch::SignalWatch(std::function<void(int signal)> onSignal) : shared_(std::make_shared<Shared>()) {
    shared_->onSignal = std::move(onSignal);
    Shared* raw = shared_.get();  // the cancel handler keeps it alive until then
    const std::weak_ptr<Shared> weak = shared_;
    shared_->source = std::make_unique<platform::ReadSource>(
        shared_->signals.fd(),
        [raw, weak] {
            // Reading empties the descriptor, so a level-triggered source does not spin.
            if (const int signal = raw->signals.take(); signal != 0)
                platform::mainQueueAsync([weak, signal] {
                    if (auto s = weak.lock(); s && s->onSignal) s->onSignal(signal);
                });
        },
        [keep = shared_, released = released_]() mutable {
            keep.reset();  // before the flag: the main thread may then drop the last reference
            released->store(true);
        });
    shared_->source->resume();
}

// Waits with the main loop running: work on the background thread may be
// waiting for the main thread (a port's synchronous callbacks), and the
// cancel handler runs only after it. During the exit the wait takes only what
// is left of its budget: a poll thread stuck in a close would never run the
// handler. Should the wait time out, the cancel handler still holds the
// shared part, so nothing is used after its end.
SignalWatch::~SignalWatch() {
    shared_->onSignal = nullptr;
    shared_->source->cancel();
    platform::runMainLoopUntil([&] { return released_->load(); }, platform::exitTimeLeft(std::chrono::seconds(10)));
}

std::string signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(signal);
    }
}

}  // namespace flash
