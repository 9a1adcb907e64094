#include "upgrader/platform/executor_timer.h"

#include <atomic>

#include "upgrader/platform/serial_executor.h"
#include "upgrader/platform/timer_source.h"

namespace platform {

struct ExecutorTimer::State {
    std::weak_ptr<SerialExecutor> executor;
    std::function<void()> handler;  // set once, then only read
    std::atomic<bool> cancelled{false};
};

ExecutorTimer::ExecutorTimer(const std::shared_ptr<SerialExecutor>& executor, std::chrono::nanoseconds firstDelay,
                             std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway,
                             std::function<void()> handler)
    : state_(std::make_shared<State>()) {
    state_->executor = executor;
    state_->handler = std::move(handler);
    source_ = std::make_unique<TimerSource>(firstDelay, interval, leeway, [state = state_] {
        const auto target = state->executor.lock();
        if (!target || state->cancelled.load()) return;
        // Checked again on the executor: a cancel made there after this
        // firing was queued must still win.
        target->async([state] {
            if (!state->cancelled.load() && state->handler) state->handler();
        });
    });
}

ExecutorTimer::~ExecutorTimer() {
    cancel();
}

void ExecutorTimer::resume() {
    if (!state_->cancelled.load()) source_->resume();
}

void ExecutorTimer::cancel() {
    state_->cancelled.store(true);
    source_->cancel();
}

}  // namespace platform
