#include "upgrader/platform/thread_shutdown.h"

#include <QDeadlineTimer>

#include <string>
#include <vector>

#include "upgrader/platform/application.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/platform/exit_budget.h"
#include "upgrader/platform/serial_executor.h"
#include "upgrader/platform/system_log.h"

namespace platform {

namespace {

// Threads with nothing left to do end at once, but not within no time: their
// join gets this much even when the exit's budget is spent.
constexpr std::chrono::milliseconds kIdleJoin{500};

std::chrono::milliseconds remaining(const QDeadlineTimer& deadline) {
    return std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0));
}

// "work still queued and the poll thread still running"
std::string leftBehind(bool idle, bool pollStopped, bool poolStopped) {
    std::vector<std::string> parts;
    if (!idle) parts.emplace_back("work still queued");
    if (!pollStopped) parts.emplace_back("the poll thread still running");
    if (!poolStopped) parts.emplace_back("executor threads still running");
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}

}  // namespace

bool stopBackgroundThreads(std::chrono::milliseconds limit) {
    beginExit();
    const std::chrono::milliseconds budget = exitTimeLeft(limit);
    const QDeadlineTimer deadline(budget.count());
    // Either side's work may queue work on the other, so both must be idle
    // at once.
    const bool idle = runMainLoopUntil([] { return backgroundQueueIdle() && serialExecutorsIdle(); }, budget);
    const auto joinTime = [&] { return idle ? std::max(remaining(deadline), kIdleJoin) : remaining(deadline); };
    const bool pollStopped = stopBackgroundThread(joinTime());
    const bool poolStopped = stopSerialExecutorThreads(joinTime());
    if (idle && pollStopped && poolStopped) return true;
    systemLog("exit: the background threads did not finish within the exit's %lld s; leaving with %s",
              static_cast<long long>(kExitBudget.count()), leftBehind(idle, pollStopped, poolStopped).c_str());
    return false;
}

BackgroundThreadsStop::~BackgroundThreadsStop() {
    stopBackgroundThreads();
}

}  // namespace platform
