#include "upgrader/platform/notification_center.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(NotificationCenter, DeliversByNameAndSenderSynchronouslyOnThePostingThread) {
    NotificationCenter center;
    int a = 0, b = 0;
    const int senderA = 0, senderB = 0;
    std::vector<std::string> seen;
    center.addObserver(&a, "Connected", nullptr, [&](const Notification& n) {
        seen.push_back("any:" + std::any_cast<std::string>(n.userInfo.at("key")));
    });
    center.addObserver(&b, "Connected", &senderA, [&](const Notification&) { seen.push_back("onlyA"); });

    center.post({"Connected", &senderB, {{"key", std::string("x")}}});
    center.post({"Disconnected", &senderA, {}});
    center.post({"Connected", &senderA, {{"key", std::string("y")}}});
    EXPECT_EQ(seen, (std::vector<std::string>{"any:x", "any:y", "onlyA"}));

    std::thread::id deliveredOn;
    center.addObserver(&a, "FromThread", nullptr,
                       [&](const Notification&) { deliveredOn = std::this_thread::get_id(); });
    std::thread::id posterId;
    std::thread poster([&] {
        posterId = std::this_thread::get_id();
        center.post({"FromThread", nullptr, {}});
    });
    poster.join();
    EXPECT_EQ(deliveredOn, posterId);
}

TEST(NotificationCenter, RemovalTakesEffectAtOnceEvenInTheMiddleOfAPost) {
    NotificationCenter center;
    int first = 0, second = 0;
    int secondCalls = 0;
    center.addObserver(&first, "N", nullptr, [&](const Notification&) { center.removeObserver(&second); });
    center.addObserver(&second, "N", nullptr, [&](const Notification&) { ++secondCalls; });
    center.addObserver(&second, "M", nullptr, [&](const Notification&) { ++secondCalls; });
    center.post({"N", nullptr, {}});
    center.post({"M", nullptr, {}});
    EXPECT_EQ(secondCalls, 0);
    EXPECT_EQ(center.observerCount(), 1u);

    // A handler may post and register while being delivered.
    int nested = 0;
    center.addObserver(&second, "Outer", nullptr, [&](const Notification&) {
        center.addObserver(&second, "Inner", nullptr, [&](const Notification&) { ++nested; });
        center.post({"Inner", nullptr, {}});
    });
    center.post({"Outer", nullptr, {}});
    EXPECT_EQ(nested, 1);
}

}  // namespace
}  // namespace platform
