// The shared background thread: one thread with its own event loop on which
// every open port reads, polls its modem lines and really closes (read
// sources and timers, see read_source.h and timer_source.h). Work queued here
// runs in order, one item at a time. Started on first use; it lives until the
// process ends.
#pragma once

#include <functional>

namespace platform {

bool isBackgroundThread();
void backgroundQueueAsync(std::function<void()> work);

}  // namespace platform
