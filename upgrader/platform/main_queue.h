// Hand-off to the main thread (the thread that runs the application's event
// loop, see application.h). Callable from any thread.
//
// mainQueueAsync queues work; queued items run in the order they were queued.
// mainQueueSync runs work directly when called on the main thread, otherwise it
// queues it and blocks the caller until it has run. So a caller of
// mainQueueSync must not hold anything the main thread may be waiting for.
// Without an application object there is no main loop: the work is dropped and
// a line is logged.
#pragma once

#include <functional>

namespace platform {

bool isMainThread();
void mainQueueAsync(std::function<void()> work);
void mainQueueSync(std::function<void()> work);

}  // namespace platform
