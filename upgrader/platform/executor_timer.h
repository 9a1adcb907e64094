// A repeating timer whose handler runs on a serial executor
// (serial_executor.h) rather than on the background thread: the timer itself
// ticks on the background thread (timer_source.h) and each firing queues the
// handler on the executor.
//
// Threads: create, resume and cancel from any thread. The handler runs on the
// executor. cancel() made on the executor itself guarantees that the handler
// never runs afterwards, even when a firing was already queued there; from
// another thread a handler that is running may still finish. Destroying the
// timer cancels it. The timer does not keep its executor alive.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform {

class SerialExecutor;
class TimerSource;

class ExecutorTimer {
public:
    ExecutorTimer(const std::shared_ptr<SerialExecutor>& executor, std::chrono::nanoseconds firstDelay,
                  std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway, std::function<void()> handler);
    ~ExecutorTimer();
    ExecutorTimer(const ExecutorTimer&) = delete;
    ExecutorTimer& operator=(const ExecutorTimer&) = delete;

    void resume();
    void cancel();

    struct State;

private:
    std::shared_ptr<State> state_;
    std::unique_ptr<TimerSource> source_;
};

}  // namespace platform
