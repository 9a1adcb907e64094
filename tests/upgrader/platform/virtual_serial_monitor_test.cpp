// The folder of virtual serial ports seen as hot-plug: links appearing and
// vanishing, the folder made late or removed, terminals closing, and a
// folder that stops being trustworthy.
#include "upgrader/platform/virtual_serial_monitor.h"

#include <gtest/gtest.h>

#include <QStandardPaths>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "link/virtual_ports.h"
#include "upgrader/platform/application.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

struct Terminal {
    Terminal() {
        char name[256] = {};
        ::openpty(&master, &slave, name, nullptr, nullptr);
        path = name;
    }
    ~Terminal() { close(); }
    void close() {
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
        slave = master = -1;
    }
    int master = -1, slave = -1;
    std::string path;
};

struct Event {
    bool published;
    std::vector<std::string> names;
    std::vector<std::string> paths;
};

class VirtualSerialMonitorTest : public testing::Test {
protected:
    VirtualSerialMonitorTest() {
        std::string pattern = (fs::temp_directory_path() / "vmon-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        folder = root + "/virtual-serial";
    }
    ~VirtualSerialMonitorTest() override { fs::remove_all(root); }

    void startMonitor() {
        monitor.emplace(folder, VirtualSerialMonitor::Callbacks{[this](const auto& b) { record(true, b); },
                                                                [this](const auto& b) { record(false, b); }});
        ASSERT_TRUE(monitor->isWatching()) << monitor->error();
    }
    void record(bool published, const VirtualSerialMonitor::Batch& batch) {
        Event e{published, {}, {}};
        for (const auto& d : batch) {
            e.names.push_back(d.friendlyName);
            e.paths.push_back(d.node);
        }
        events.push_back(e);
    }
    // The next event, once it has come.
    std::optional<Event> next() {
        if (!runMainLoopUntil([&] { return events.size() > taken; })) return std::nullopt;
        return events[taken++];
    }
    bool quiet() {
        runMainLoopUntil([] { return false; }, std::chrono::milliseconds(50));
        return events.size() == taken;
    }

    std::string root, folder;
    std::optional<VirtualSerialMonitor> monitor;
    std::vector<Event> events;
    std::size_t taken = 0;
};

TEST_F(VirtualSerialMonitorTest, LinksComingAndGoingArePublishedAndTerminated) {
    Terminal a, b;
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    fs::create_symlink(a.path, folder + "/first");
    startMonitor();
    ASSERT_EQ(monitor->present().size(), 1u);
    EXPECT_EQ(monitor->present()[0].node, folder + "/first");
    EXPECT_EQ(monitor->present()[0].friendlyName, "first");
    EXPECT_TRUE(quiet());  // what was there is not announced again

    fs::create_symlink(b.path, folder + "/second gimbal");
    auto e = next();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"second gimbal"});
    EXPECT_EQ(e->paths, std::vector<std::string>{folder + "/second gimbal"});

    fs::remove(folder + "/first");
    e = next();
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"first"});

    // The same name led somewhere else: the old port went, a new one came.
    fs::create_symlink(a.path, folder + "/.next");
    fs::rename(folder + "/.next", folder + "/second gimbal");
    e = next();
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->published);
    e = next();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"second gimbal"});
    EXPECT_TRUE(quiet());

    // Removed and placed again before the monitor looks, leading where it
    // led (a terminal number handed out again does the same): still another
    // device, so it goes and comes again.
    fs::remove(folder + "/second gimbal");
    fs::create_symlink(a.path, folder + "/second gimbal");
    e = next();
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->published);
    e = next();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"second gimbal"});
    EXPECT_TRUE(quiet());
}

// The listing is taken after the watch is in place: a link made or removed
// between the two is listed as it is, and announced neither lost nor twice.
TEST_F(VirtualSerialMonitorTest, ChangesBetweenWatchingAndListingAreNotLost) {
    Terminal a, b;
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    fs::create_symlink(a.path, folder + "/leaving");
    startMonitor();
    fs::create_symlink(b.path, folder + "/arrived");
    fs::remove(folder + "/leaving");
    const auto listed = monitor->present();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].friendlyName, "arrived");
    EXPECT_TRUE(quiet());
    fs::remove(folder + "/arrived");
    const auto e = next();
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"arrived"});
}

TEST_F(VirtualSerialMonitorTest, AFolderMadeLaterOrRemovedIsFollowed) {
    Terminal a;
    startMonitor();
    EXPECT_TRUE(monitor->present().empty());
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    fs::create_symlink(a.path, folder + "/late");
    std::vector<std::string> seen;
    while (seen.empty()) {
        auto e = next();
        ASSERT_TRUE(e);
        if (e->published) seen = e->names;
    }
    EXPECT_EQ(seen, std::vector<std::string>{"late"});
    fs::remove_all(folder);
    auto e = next();
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"late"});
}

TEST_F(VirtualSerialMonitorTest, AClosedTerminalOrAFolderOthersMayWriteEndsItsPorts) {
    Terminal a, b;
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    fs::create_symlink(a.path, folder + "/a");
    fs::create_symlink(b.path, folder + "/b");
    startMonitor();
    ASSERT_EQ(monitor->present().size(), 2u);

    a.close();  // the link now leads nowhere
    auto e = next();
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"a"});

    // A terminal opened meanwhile (another test's) takes the lowest free
    // number, a's, and brings a's link back: from here on only b's events count.
    fs::remove(folder + "/a");
    const auto nextOfB = [&] {
        for (;;) {
            e = next();
            if (e) std::erase(e->names, "a");
            if (!e || !e->names.empty()) return;
        }
    };
    ::chmod(folder.c_str(), 0777);
    nextOfB();
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"b"});
    ::chmod(folder.c_str(), 0700);
    nextOfB();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->published);
    EXPECT_EQ(e->names, std::vector<std::string>{"b"});
}

// gimbal-sim has no Qt, yet must find the very folder the windows read.
TEST_F(VirtualSerialMonitorTest, TheRuntimeFolderIsTheOneQtNames) {
    const auto keep = [](const char* name) {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto restore = [](const char* name, const std::optional<std::string>& v) {
        v ? ::setenv(name, v->c_str(), 1) : ::unsetenv(name);
    };
    const auto xdg = keep("XDG_RUNTIME_DIR"), tmp = keep("TMPDIR");
    ::chmod(root.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    EXPECT_EQ(gimbal::runtimeFolder(), QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString());
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", root.c_str(), 1);
    const std::string ours = gimbal::runtimeFolder();
    EXPECT_EQ(ours, QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString());
    EXPECT_EQ(ours.rfind(root + "/runtime-", 0), 0u) << ours;
    restore("XDG_RUNTIME_DIR", xdg);
    restore("TMPDIR", tmp);
}

TEST(VirtualSerialMonitor, WithoutARuntimeFolderNothingIsListedOrWatched) {
    VirtualSerialMonitor monitor("", {});
    EXPECT_TRUE(monitor.present().empty());
    EXPECT_FALSE(monitor.isWatching());
    EXPECT_FALSE(monitor.error().empty());
}

}  // namespace
}  // namespace platform
