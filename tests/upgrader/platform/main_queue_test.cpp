#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "upgrader/platform/application.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/platform/main_queue.h"

namespace {

TEST(MainQueue, QueuedWorkRunsOnTheMainThreadInOrder) {
    std::vector<int> order;
    std::atomic<bool> allMain{true};
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i)
            platform::mainQueueAsync([&, i] {
                allMain = allMain && platform::isMainThread();
                order.push_back(i);
            });
    });
    producer.join();
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_TRUE(allMain);
}

TEST(MainQueue, SyncIsDirectOnTheMainThreadAndWaitsElsewhere) {
    bool ran = false;
    platform::mainQueueSync([&] { ran = true; });
    EXPECT_TRUE(ran);  // no event loop needed: called directly

    std::atomic<bool> returned{false};
    std::atomic<bool> ranOnMain{false};
    std::thread caller([&] {
        platform::mainQueueSync([&] { ranOnMain = platform::isMainThread(); });
        returned = true;
    });
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return returned.load(); }));
    caller.join();
    EXPECT_TRUE(ranOnMain);
}

TEST(BackgroundQueue, RunsWorkOnItsOwnThreadInOrder) {
    std::vector<int> order;
    std::atomic<int> done{0};
    std::atomic<bool> onBackground{true};
    for (int i = 0; i < 50; ++i)
        platform::backgroundQueueAsync([&, i] {
            onBackground = onBackground && platform::isBackgroundThread() && !platform::isMainThread();
            order.push_back(i);
            ++done;
        });
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return done.load() == 50; }));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_TRUE(onBackground);
}

}  // namespace
