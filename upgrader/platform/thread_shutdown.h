// Stops the threads other than the main one that run Qt code (the poll
// thread and the serial executors' pool) before the application object goes,
// so that none of them uses the application, or posts to it, while it is
// destroyed or after. Main thread, while the application object exists.
#pragma once

#include <chrono>

namespace platform {

// Serves the main loop while both finish what is queued for them (their work
// may hand off to the main thread and wait for it), then stops and joins
// them, within `limit` and what is left of the exit's budget (exit_budget.h;
// this begins the exit if nothing did). Answers false, with a line logged,
// when the time ran out first. Nothing starts the poll thread again after.
bool stopBackgroundThreads(std::chrono::milliseconds limit = std::chrono::seconds(5));

// Calls stopBackgroundThreads when it goes. Declared right after a program's
// application object, it goes after everything made later and before that.
class BackgroundThreadsStop {
public:
    BackgroundThreadsStop() = default;
    ~BackgroundThreadsStop();
    BackgroundThreadsStop(const BackgroundThreadsStop&) = delete;
    BackgroundThreadsStop& operator=(const BackgroundThreadsStop&) = delete;
};

}  // namespace platform
