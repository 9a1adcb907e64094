#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>

#include "upgrader/platform/application.h"
#include "upgrader/platform/executor_timer.h"
#include "upgrader/platform/serial_executor.h"

namespace {

using namespace std::chrono_literals;

TEST(ExecutorTimer, RepeatsOnItsExecutor) {
    auto executor = std::make_shared<platform::SerialExecutor>("test.timer");
    std::atomic<int> firings{0};
    std::atomic<bool> elsewhere{false};
    platform::ExecutorTimer timer(executor, 1ms, 2ms, 0ms, [&] {
        if (!executor->isCurrent()) elsewhere = true;
        ++firings;
    });
    timer.resume();
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return firings >= 3; }, 10s));
    timer.cancel();
    executor->sync([] {});
    const int atCancel = firings;
    platform::runMainLoopUntil([] { return false; }, 30ms);
    EXPECT_EQ(firings, atCancel);
    EXPECT_FALSE(elsewhere);
}

// Firings every millisecond pile up on the executor; the handler cancels on
// its first run, and none of the queued ones may run after that.
TEST(ExecutorTimer, CancelOnTheExecutorBeatsQueuedFirings) {
    auto executor = std::make_shared<platform::SerialExecutor>("test.timer.cancel");
    std::atomic<int> firings{0};
    std::unique_ptr<platform::ExecutorTimer> timer;
    std::mutex mutex;
    std::condition_variable released;
    bool blocked = true;
    executor->async([&] {
        // Keep the executor busy while firings queue up behind this.
        std::unique_lock lock(mutex);
        released.wait_for(lock, 10s, [&] { return !blocked; });
    });
    timer = std::make_unique<platform::ExecutorTimer>(executor, 0ms, 1ms, 0ms, [&] {
        ++firings;
        timer->cancel();
    });
    timer->resume();
    platform::runMainLoopUntil([] { return false; }, 20ms);
    {
        std::lock_guard lock(mutex);
        blocked = false;
    }
    released.notify_all();
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return firings >= 1; }, 10s));
    platform::runMainLoopUntil([] { return false; }, 30ms);
    EXPECT_EQ(firings, 1);
    executor->sync([] {});
}

TEST(ExecutorTimer, OutlivingItsExecutorIsHarmless) {
    std::atomic<int> firings{0};
    auto executor = std::make_shared<platform::SerialExecutor>("test.timer.gone");
    platform::ExecutorTimer timer(executor, 1ms, 1ms, 0ms, [&] { ++firings; });
    executor.reset();
    timer.resume();
    platform::runMainLoopUntil([] { return false; }, 20ms);
    EXPECT_EQ(firings, 0);
}

}  // namespace
