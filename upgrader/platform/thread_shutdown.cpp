#include "upgrader/platform/thread_shutdown.h"

#include <QDeadlineTimer>

#include "upgrader/platform/application.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/platform/serial_executor.h"
#include "upgrader/platform/system_log.h"

namespace platform {

namespace {

std::chrono::milliseconds remaining(const QDeadlineTimer& deadline) {
    return std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0));
}

}  // namespace

bool stopBackgroundThreads(std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit.count());
    // Either side's work may queue work on the other, so both must be idle
    // at once.
    const bool idle = runMainLoopUntil([] { return backgroundQueueIdle() && serialExecutorsIdle(); }, limit);
    const bool pollStopped = stopBackgroundThread(remaining(deadline));
    const bool poolStopped = stopSerialExecutorThreads(remaining(deadline));
    if (idle && pollStopped && poolStopped) return true;
    systemLog("exit: background work did not finish within %lld ms (%s%s%s); leaving without it",
              static_cast<long long>(limit.count()), idle ? "" : "work still queued; ",
              pollStopped ? "" : "poll thread still running; ", poolStopped ? "" : "executor threads still running");
    return false;
}

BackgroundThreadsStop::~BackgroundThreadsStop() {
    stopBackgroundThreads();
}

}  // namespace platform
