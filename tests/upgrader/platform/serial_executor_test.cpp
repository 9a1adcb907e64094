#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "upgrader/platform/application.h"
#include "upgrader/platform/serial_executor.h"

namespace {

TEST(SerialExecutor, RunsWorkOneAtATimeInOrder) {
    platform::SerialExecutor executor("test.order");
    std::vector<int> order;  // touched only by the executor's work
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 500; ++i)
        executor.async([&, i] {
            if (++running > 1) overlapped = true;
            order.push_back(i);
            --running;
        });
    executor.sync([] {});
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialExecutor, ManyExecutorsShareFewThreads) {
    std::vector<std::unique_ptr<platform::SerialExecutor>> executors;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    for (int i = 0; i < 40; ++i) executors.push_back(std::make_unique<platform::SerialExecutor>("test.many"));
    for (auto& executor : executors)
        executor->sync([&] {
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
        });
    EXPECT_LE(threads.size(), 4u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(SerialExecutor, SyncFromItsOwnWorkRunsInsteadOfDeadlocking) {
    platform::SerialExecutor executor("test.reentrant");
    bool inner = false;
    bool current = false;
    executor.sync([&] {
        current = executor.isCurrent();
        executor.sync([&] { inner = true; });
    });
    EXPECT_TRUE(current);
    EXPECT_TRUE(inner);
    EXPECT_FALSE(executor.isCurrent());
}

TEST(SerialExecutor, WorkQueuedBeforeDestructionStillRuns) {
    std::atomic<int> ran{0};
    {
        platform::SerialExecutor executor("test.dying");
        for (int i = 0; i < 10; ++i) executor.async([&] { ++ran; });
    }
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return ran.load() == 10; }));
}

}  // namespace
