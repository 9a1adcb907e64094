// A read-readiness source: calls its event handler on the background thread
// (background_queue.h) each time a descriptor is readable. Level-triggered: a
// handler that leaves the descriptor readable is called again, so a handler
// must read, suspend() or cancel().
//
// Threads: create, resume, suspend and cancel from any thread. Both handlers
// run on the background thread. cancel() returns at once; the cancel handler
// runs later, once, after the last event handler has returned, and no event
// handler runs after it. Destroying the source cancels it. The source never
// closes the descriptor; the cancel handler is the place to do that.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class ReadSource {
public:
    ReadSource(int fd, std::function<void()> eventHandler, std::function<void()> cancelHandler);
    ~ReadSource();
    ReadSource(const ReadSource&) = delete;
    ReadSource& operator=(const ReadSource&) = delete;

    void resume();   // start (or restart) watching
    void suspend();  // stop calling the event handler until resume(); immediate on the background thread
    void cancel();

    struct State;  // shared with work queued on the background thread

private:
    std::shared_ptr<State> state_;
};

}  // namespace platform
