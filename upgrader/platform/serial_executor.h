// A serial executor: runs the work given to it one item at a time, in order,
// on threads of a small shared pool. An idle executor holds no thread, so
// every port can have one.
//
// Threads: async, sync and isCurrent may be called from any thread. sync
// blocks the caller until its work has run; calling it from work running on
// the same executor would wait forever, so that is refused (logged, the work
// runs at once instead). Work queued before the executor is destroyed still
// runs. The pool's threads are joined before the application object goes
// (thread_shutdown.h); work queued later starts them again.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class SerialExecutor {
public:
    explicit SerialExecutor(std::string label);
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    const std::string& label() const;
    void async(std::function<void()> work);
    void sync(std::function<void()> work);
    bool isCurrent() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Whether every item given to any executor has run (any thread).
bool serialExecutorsIdle();
// Waits for the pool's work and joins its threads; false when they did not
// end within `limit`.
bool stopSerialExecutorThreads(std::chrono::milliseconds limit);

}  // namespace platform
