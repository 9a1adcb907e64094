// Desktop notifications on the private session bus, answered by a fake
// notification service; and a desktop without one.
#include <QPushButton>

#include "tests/upgrader/support/pty.h"
#include "app_fixture.h"
#include "fake_notification_server.h"
#include "upgrader/platform/desktop_notifications.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace app_test {
namespace {

class Notifications : public WindowTest {
protected:
    void SetUp() override {
        if (privateBusAddress().empty())
            GTEST_SKIP() << "dbus-daemon could not be started: no private session bus for notification tests";
        WindowTest::SetUp();
        ASSERT_TRUE(server.start(QString::fromStdString(privateBusAddress())));
    }
    // Unplugging posts notices too; they are closed again while the window
    // still listens, so none outlives this server or reaches the next one.
    void TearDown() override {
        unplug(plugged);
        EXPECT_TRUE(
            waitUntil([&] { return !server.notified.empty() && server.closed.size() == server.notified.size(); },
                      std::chrono::seconds(15)));
        WindowTest::TearDown();
    }
    std::string nameOf(const test_support::Pty& pty) {
        return serial::KivSerialPort::existingPortWithPath(pty.slavePath())->name();
    }
    FakeNotificationServer server;
};

TEST_F(Notifications, RemovingTheOpenPortPostsOneSilentNoticeThatIsClosedAgain) {
    test_support::Pty pty;
    plug({pty.slavePath()});
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 1; }));
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return vc->bt_OpenPort->text() == "Close"; }));
    const std::string name = nameOf(pty);

    unplug({pty.slavePath()});
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 2; }));
    const NotifyCall& call = server.notified[1];
    EXPECT_EQ(call.title, "Serial Port Disconnected");
    EXPECT_EQ(call.body.toStdString(), "Serial Port " + name + " was disconnected from this computer.");
    EXPECT_EQ(call.hints.value("suppress-sound").toBool(), true);
    // Servers that group or theme notices by application need all three.
    EXPECT_EQ(call.app, "Quenlo");
    EXPECT_EQ(call.icon, "quenlo");
    EXPECT_EQ(call.hints.value("desktop-entry").toString(), "quenlo");
    ASSERT_TRUE(waitUntil([&] { return server.closed.size() == 2; }, std::chrono::seconds(15)));
    EXPECT_EQ(server.closed, (std::vector<uint>{server.notified[0].id, call.id}));
    EXPECT_TRUE(platform::UserNotificationCenter::defaultUserNotificationCenter().deliveredNotifications().empty());
}

TEST_F(Notifications, TwoPortsInOneAnnouncementGiveTwoNoticesInOrder) {
    test_support::Pty first, second;
    plug({first.slavePath(), second.slavePath()});
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 2; }));
    EXPECT_EQ(server.notified[0].title, "Serial Port Connected");
    EXPECT_EQ(server.notified[0].body.toStdString(),
              "Serial Port " + nameOf(first) + " was connected to this computer.");
    EXPECT_EQ(server.notified[1].body.toStdString(),
              "Serial Port " + nameOf(second) + " was connected to this computer.");
    ASSERT_TRUE(waitUntil([&] { return server.closed.size() == 2; }, std::chrono::seconds(15)));
    EXPECT_EQ(server.closed, (std::vector<uint>{server.notified[0].id, server.notified[1].id}));
}

// Answers the delegate calls a centre makes.
struct Listener : platform::UserNotificationCenterDelegate {
    void userNotificationCenterDidDeliverNotification(platform::UserNotificationCenter&,
                                                      const platform::UserNotification&) override {
        ++delivered;
    }
    int delivered = 0;
};

// No service, or no bus at all: delivery returns at once and nothing is listed.
TEST(NotificationsUnavailable, DeliveringWithoutAServiceOrABusNeitherStallsNorLists) {
    std::vector<std::string> addresses{"unix:path=/nonexistent/quenlo-no-bus"};
    if (!privateBusAddress().empty())
        addresses.push_back(privateBusAddress());  // a bus, but nobody serves notifications
    for (const auto& address : addresses) {
        auto center = platform::UserNotificationCenter::withBusAddress(address);
        Listener listener;
        center->setDelegate(&listener);
        center->deliverNotification(
            {"Serial Port Connected", "Serial Port x was connected to this computer.", true, 0});
        EXPECT_TRUE(drainMainQueue());
        // The service's refusal arrives asynchronously; let the bus answer.
        waitUntil([&] { return listener.delivered > 0; }, std::chrono::milliseconds(500));
        EXPECT_EQ(listener.delivered, 0) << address;
        EXPECT_TRUE(center->deliveredNotifications().empty()) << address;
    }
}

// Destroying the window clears the centre's delegate, so a late answer
// from the service reaches no dead controller.
TEST(NotificationsLifetime, ALateDeliveryAfterTheWindowIsGoneIsHarmless) {
    if (privateBusAddress().empty())
        GTEST_SKIP() << "dbus-daemon could not be started: no private session bus for notification tests";
    FakeNotificationServer server;
    ASSERT_TRUE(server.start(QString::fromStdString(privateBusAddress())));
    auto& center = platform::UserNotificationCenter::defaultUserNotificationCenter();
    std::size_t before = 0;
    {
        before = center.deliveredNotifications().size();
        app::MainWindow window;
        EXPECT_EQ(center.delegate(), window.viewController());
        center.deliverNotification({"t", "b", true, 0});
    }
    EXPECT_EQ(center.delegate(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return center.deliveredNotifications().size() == before + 1; }));
    center.removeDeliveredNotification(center.deliveredNotifications().back());
    EXPECT_TRUE(waitUntil([&] { return server.closed.size() == 1; }));
}

}  // namespace
}  // namespace app_test
