// A main-loop run that sleeps until something happens and ends on quit(),
// for a program that waits for many seconds on serial ports. Main thread only.
#pragma once

#include <memory>

namespace platform {

class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Handles events until quit() is called from one of them.
    void run();
    void quit();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
