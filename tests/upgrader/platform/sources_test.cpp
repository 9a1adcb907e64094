// Read sources and timers on the background thread.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "upgrader/platform/application.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/platform/read_source.h"
#include "upgrader/platform/timer_source.h"

namespace {

using namespace std::chrono_literals;

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void put(char c) { ASSERT_EQ(::write(fds[1], &c, 1), 1); }
    char take() {
        char c = 0;
        EXPECT_EQ(::read(fds[0], &c, 1), 1);
        return c;
    }
    int fds[2] = {-1, -1};
};

// Waits until everything queued on the background thread so far has run.
void drainBackground() {
    std::atomic<bool> reached{false};
    platform::backgroundQueueAsync([&] { reached = true; });
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return reached.load(); }));
}

TEST(ReadSource, IsLevelTriggeredUntilTheHandlerReads) {
    Pipe pipe;
    std::atomic<int> events{0};
    platform::ReadSource source(
        pipe.fds[0],
        [&] {
            // Leave the byte twice: the source must call again.
            if (++events == 3) pipe.take();
        },
        nullptr);
    source.resume();
    pipe.put('x');
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return events.load() >= 3; }));
    drainBackground();
    EXPECT_EQ(events.load(), 3);
    // Cancelling is queued: let it finish before the pipe and the counter go.
    source.cancel();
    drainBackground();
}

TEST(ReadSource, CancelHandlerRunsOnceAfterTheLastEventOnTheBackgroundThread) {
    Pipe pipe;
    std::mutex mutex;
    std::vector<std::string> log;
    std::atomic<bool> cancelled{false};
    std::unique_ptr<platform::ReadSource> source;
    source = std::make_unique<platform::ReadSource>(
        pipe.fds[0],
        [&] {
            pipe.take();
            std::lock_guard lock(mutex);
            log.push_back("event");
            if (log.size() == 2) source->cancel();  // from inside the handler
        },
        [&] {
            std::lock_guard lock(mutex);
            log.push_back(platform::isBackgroundThread() ? "cancel" : "cancel off thread");
            cancelled = true;
        });
    source->resume();
    pipe.put('a');
    pipe.put('b');
    pipe.put('c');
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return cancelled.load(); }));
    source.reset();  // a second cancel does nothing
    drainBackground();
    std::lock_guard lock(mutex);
    EXPECT_EQ(log, (std::vector<std::string>{"event", "event", "cancel"}));
}

TEST(ReadSource, SuspendStopsEventsUntilResumedAndDestructionCancels) {
    Pipe pipe;
    std::atomic<int> events{0};
    std::atomic<bool> cancelled{false};
    auto source = std::make_unique<platform::ReadSource>(pipe.fds[0], nullptr, [&] { cancelled = true; });
    // The handler needs the source; set up through a second object.
    platform::ReadSource* raw = nullptr;
    auto suspending = std::make_unique<platform::ReadSource>(
        pipe.fds[0],
        [&] {
            if (++events == 1)
                raw->suspend();  // byte left unread
            else
                pipe.take();
        },
        nullptr);
    raw = suspending.get();
    suspending->resume();
    pipe.put('x');
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return events.load() == 1; }));
    drainBackground();
    EXPECT_EQ(events.load(), 1);
    suspending->resume();
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return events.load() == 2; }));
    suspending.reset();

    source.reset();  // never resumed: its cancel handler still runs
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return cancelled.load(); }));
}

TEST(TimerSource, FiresRepeatedlyUntilCancelledFromItsHandler) {
    std::atomic<int> firings{0};
    std::atomic<bool> onBackground{true};
    platform::TimerSource* raw = nullptr;
    platform::TimerSource timer(0ns, 1ms, 0ns, [&] {
        onBackground = onBackground && platform::isBackgroundThread();
        if (++firings == 5) raw->cancel();
    });
    raw = &timer;
    timer.resume();
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return firings.load() >= 5; }));
    drainBackground();
    drainBackground();
    EXPECT_EQ(firings.load(), 5);
    EXPECT_TRUE(onBackground);
}

}  // namespace
