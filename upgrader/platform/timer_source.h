// A repeating timer whose handler runs on the background thread
// (background_queue.h): first after `firstDelay`, then every `interval`, with
// up to `leeway` of slack allowed so wake-ups can be grouped.
//
// Threads: create, resume and cancel from any thread; the handler runs on the
// background thread and never after cancel() has been processed there (cancel
// from the handler itself takes effect before the next firing). Destroying
// the timer cancels it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform {

class TimerSource {
public:
    TimerSource(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway,
                std::function<void()> handler);
    ~TimerSource();
    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    void resume();
    void cancel();

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace platform
