// A serial executor: runs the work given to it one item at a time, in order,
// on threads of a small shared pool. An idle executor holds no thread, so
// every port can have one.
//
// Threads: async, sync and isCurrent may be called from any thread. sync
// blocks the caller until its work has run; calling it from work running on
// the same executor would wait forever, so that is refused (logged, the work
// runs at once instead). Work queued before the executor is destroyed still
// runs.
#pragma once

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

}  // namespace platform
