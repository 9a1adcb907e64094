#include "upgrader/serial/kiv_serial_port_manager.h"

#include <gtest/gtest.h>

#include <any>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/upgrader/support/pty.h"
#include "upgrader/platform/notification_center.h"

namespace serial {

namespace {

using Ports = KivSerialPortManager::Ports;

// A device source the test drives by hand.
struct Script {
    void* context = nullptr;
    KivSerialDeviceWatcher::Callback published = nullptr;
    KivSerialDeviceWatcher::Callback terminated = nullptr;
    KivSerialDeviceWatcher::Subscription answer{true, true, {}};

    void publish(const KivSerialDeviceWatcher::Devices& d) { published(context, d); }
    void terminate(const KivSerialDeviceWatcher::Devices& d) { terminated(context, d); }
};

class ScriptedWatcher : public KivSerialDeviceWatcher {
public:
    explicit ScriptedWatcher(Script& script) : script_(script) {}
    Subscription subscribe(void* context, Callback published, Callback terminated) override {
        script_.context = context;
        script_.published = published;
        script_.terminated = terminated;
        return script_.answer;
    }

private:
    Script& script_;
};

// Records the two announcements as "connected:a,b" / "disconnected:a".
class Announcements {
public:
    Announcements() {
        auto& center = platform::NotificationCenter::defaultCenter();
        center.addObserver(
            this, KivSerialPortsWereConnectedNotification, nullptr,
            [this](const platform::Notification& n) { record("connected", n, KivConnectedSerialPortsKey); });
        center.addObserver(
            this, KivSerialPortsWereDisconnectedNotification, nullptr,
            [this](const platform::Notification& n) { record("disconnected", n, KivDisconnectedSerialPortsKey); });
    }
    ~Announcements() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    std::vector<std::string> seen;
    std::vector<const void*> senders;

private:
    void record(const std::string& what, const platform::Notification& n, const char* key) {
        std::string line = what + ":";
        ASSERT_EQ(n.userInfo.size(), 1u);
        for (const auto& port : std::any_cast<Ports>(n.userInfo.at(key))) line += port->path() + ",";
        seen.push_back(line);
        senders.push_back(n.object);
    }
};

class PortManagerTest : public ::testing::Test {
protected:
    std::shared_ptr<KivSerialPortManager> make() {
        return KivSerialPortManager::makeWithWatcher(std::make_unique<ScriptedWatcher>(script));
    }
    static KivSerialDeviceHandle device(const test_support::Pty& pty) { return kivDeviceForNodePath(pty.slavePath()); }
    static std::string paths(const Ports& ports) {
        std::string s;
        for (const auto& p : ports) s += p->path() + ",";
        return s;
    }
    Script script;
    test_support::Pty a, b, c;
};

TEST_F(PortManagerTest, ListsThePresentDevicesAndAddsArrivalsAtTheEnd) {
    script.answer.present = {device(a), device(b)};
    auto manager = make();
    EXPECT_EQ(paths(manager->availablePorts()), a.slavePath() + "," + b.slavePath() + ",");
    std::vector<std::size_t> inserted;
    manager->addAvailablePortsObserver([&](KivSerialPortManager::Change change, const auto& indexes) {
        if (change == KivSerialPortManager::Change::Insertion)
            inserted.insert(inserted.end(), indexes.begin(), indexes.end());
    });
    Announcements heard;

    script.publish({device(c)});
    EXPECT_EQ(manager->countOfAvailablePorts(), 3u);
    EXPECT_EQ(manager->objectInAvailablePortsAtIndex(2)->path(), c.slavePath());
    EXPECT_EQ(manager->objectInAvailablePortsAtIndex(3), nullptr);
    EXPECT_EQ(inserted, (std::vector<std::size_t>{2}));

    script.publish({device(a)});  // already listed: nothing added, an empty announcement
    EXPECT_EQ(manager->countOfAvailablePorts(), 3u);
    EXPECT_EQ(heard.seen, (std::vector<std::string>{"connected:" + c.slavePath() + ",", "connected:"}));
    EXPECT_EQ(heard.senders.front(), manager.get());
}

TEST_F(PortManagerTest, SeveralArrivalsAndRemovalsComeAsOneAnnouncementEach) {
    auto manager = make();
    Announcements heard;
    script.publish({device(a), device(b), device(c)});
    script.terminate({device(c), device(a)});
    EXPECT_EQ(paths(manager->availablePorts()), b.slavePath() + ",");
    ASSERT_EQ(heard.seen.size(), 2u);
    EXPECT_EQ(heard.seen[1], "disconnected:" + c.slavePath() + "," + a.slavePath() + ",");
}

TEST_F(PortManagerTest, AnOpenPortHearsOfItsRemovalBeforeTheListAndTheAnnouncement) {
    script.answer.present = {device(a)};
    auto manager = make();
    test_support::OpenPort open(a);
    ASSERT_EQ(open.port, manager->availablePorts().front());  // one object per path
    ASSERT_TRUE(test_support::waitFor([&] { return open.port->isOpen(); }));

    std::vector<std::string> order;
    open.delegate->onRemoved = [&](const auto&) {
        order.push_back("removed, listed " + std::to_string(manager->countOfAvailablePorts()));
    };
    manager->addAvailablePortsObserver([&](auto change, const auto&) {
        if (change == KivSerialPortManager::Change::Removal) order.push_back("left the list");
    });
    Announcements heard;
    script.terminate({device(a)});
    order.push_back(heard.seen.empty() ? "no announcement" : heard.seen.back());

    EXPECT_EQ(order,
              (std::vector<std::string>{"removed, listed 1", "left the list", "disconnected:" + a.slavePath() + ","}));
    EXPECT_TRUE(test_support::waitFor([&] { return open.delegate->count(test_support::Event::Closed) == 1; }));
    EXPECT_FALSE(open.port->isOpen());
}

// Links in the virtual-port folder behave like adapters: listed by the
// link's name, announced when they come, and an open one is removed when its
// link goes.
TEST_F(PortManagerTest, VirtualPortsComeAndGoLikeAdapters) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vports-XXXXXX").string();
    const std::string root = ::mkdtemp(pattern.data());
    const std::string folder = root + "/virtual-serial";
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    std::filesystem::create_symlink(a.slavePath(), folder + "/gimbal");
    auto manager = KivSerialPortManager::makeWithWatcher(makeVirtualSerialDeviceWatcher(folder));
    ASSERT_EQ(manager->countOfAvailablePorts(), 1u);
    const auto port = manager->availablePorts().front();
    EXPECT_EQ(port->path(), folder + "/gimbal");
    EXPECT_EQ(port->name(), "gimbal");
    auto delegate = std::make_shared<test_support::RecordingDelegate>();
    port->setDelegate(delegate);
    port->open();
    ASSERT_TRUE(test_support::waitFor([&] { return delegate->count(test_support::Event::Opened) == 1; }));

    Announcements heard;
    std::filesystem::create_symlink(b.slavePath(), folder + "/bench 2");
    ASSERT_TRUE(test_support::waitFor([&] { return heard.seen.size() == 1; }));
    EXPECT_EQ(heard.seen[0], "connected:" + folder + "/bench 2,");
    EXPECT_EQ(manager->objectInAvailablePortsAtIndex(1)->name(), "bench 2");

    std::filesystem::remove(folder + "/gimbal");
    ASSERT_TRUE(test_support::waitFor([&] { return heard.seen.size() == 2; }));
    EXPECT_EQ(heard.seen[1], "disconnected:" + folder + "/gimbal,");
    EXPECT_TRUE(test_support::waitFor([&] { return delegate->count(test_support::Event::Closed) == 1; }));
    EXPECT_EQ(delegate->count(test_support::Event::Removed), 1u);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(paths(manager->availablePorts()), folder + "/bench 2,");
    std::filesystem::remove_all(root);
}

TEST_F(PortManagerTest, ExitCleanupRemovesEveryPort) {
    script.answer.present = {device(a), device(b)};
    auto manager = make();
    test_support::OpenPort openA(a);
    test_support::OpenPort closedB(b, false);
    ASSERT_TRUE(test_support::waitFor([&] { return openA.port->isOpen(); }));
    manager->cleanupAllPorts();
    EXPECT_EQ(manager->countOfAvailablePorts(), 0u);
    EXPECT_EQ(openA.delegate->count(test_support::Event::Removed), 1u);
    EXPECT_EQ(closedB.delegate->count(test_support::Event::Removed), 1u);
    EXPECT_TRUE(test_support::waitFor([&] { return !openA.port->isOpen(); }));
    manager->cleanupAllPorts();  // a second run finds nothing to do
    EXPECT_EQ(openA.delegate->count(test_support::Event::Removed), 1u);
}

TEST_F(PortManagerTest, SleepClosesOpenPortsAndWakeReopensExactlyThose) {
    script.answer.present = {device(a), device(b)};
    auto manager = make();
    test_support::OpenPort openA(a);
    test_support::OpenPort closedB(b, false);
    ASSERT_TRUE(test_support::waitFor([&] { return openA.port->isOpen(); }));

    manager->systemWillSleep();
    EXPECT_EQ(manager->portsToReopenAfterSleep().size(), 1u);
    ASSERT_TRUE(test_support::waitFor([&] { return openA.delegate->count(test_support::Event::Closed) == 1; }));
    manager->systemDidWake();
    EXPECT_TRUE(manager->portsToReopenAfterSleep().empty());
    EXPECT_TRUE(test_support::waitFor([&] { return openA.delegate->count(test_support::Event::Opened) == 2; }));
    EXPECT_FALSE(closedB.port->isOpen());
    openA.closeAndWait();
    manager.reset();  // lets the ports go before the test's own references end
}

TEST_F(PortManagerTest, FailedSubscriptionsAndStrayContexts) {
    script.answer = {false, false, {device(a)}};
    auto none = make();
    EXPECT_EQ(none->countOfAvailablePorts(), 0u);
    EXPECT_FALSE(none->watchesArrivals());

    script.answer = {true, false, {device(a)}};
    auto noRemovals = make();
    EXPECT_EQ(noRemovals->countOfAvailablePorts(), 1u);
    EXPECT_FALSE(noRemovals->watchesRemovals());

    int stray = 0;
    Announcements heard;
    KivSerialPortManagerPortsPublishedNotificationCallback(&stray, {device(b)});
    KivSerialPortManagerPortsTerminatedNotificationCallback(nullptr, {device(a)});
    EXPECT_TRUE(heard.seen.empty());
    EXPECT_EQ(noRemovals->countOfAvailablePorts(), 1u);
}

TEST(PortManagerSingleton, AllocationCopyAndInitYieldTheOneInstance) {
    static Script script;
    KivSerialPortManager::setDeviceWatcherFactory([] { return std::make_unique<ScriptedWatcher>(script); });
    auto shared = KivSerialPortManager::sharedSerialPortManager();
    EXPECT_EQ(KivSerialPortManager::alloc(), shared);
    EXPECT_EQ(shared->copy(), shared);
    EXPECT_EQ(shared->init(), shared);
    EXPECT_EQ(KivSerialPortManager::sharedSerialPortManager(), shared);
}

}  // namespace

}  // namespace serial
