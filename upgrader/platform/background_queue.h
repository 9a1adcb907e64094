// The shared background thread: one thread with its own event loop on which
// every open port reads, polls its modem lines and really closes (read
// sources and timers, see read_source.h and timer_source.h). Work queued here
// runs in order, one item at a time. Started on first use; stopped before the
// application object goes (thread_shutdown.h), and never started again after:
// work queued then is dropped with a line logged.
#pragma once

#include <chrono>
#include <functional>

namespace platform {

bool isBackgroundThread();
// Without an application object the work is dropped and a line is logged:
// a thread started then would run Qt code after main has returned.
void backgroundQueueAsync(std::function<void()> work);

// Whether every item queued so far has run (any thread).
bool backgroundQueueIdle();
// Ends the thread's event loop and joins it, for good; queued items not yet
// run are dropped. Answers false when it did not end within `limit`. Main
// thread.
bool stopBackgroundThread(std::chrono::milliseconds limit);

// Tests only: the background thread waits this long before each queued item,
// so that a test can force work to run late (as under heavy load).
void delayBackgroundWorkForTesting(std::chrono::milliseconds delay);

}  // namespace platform
