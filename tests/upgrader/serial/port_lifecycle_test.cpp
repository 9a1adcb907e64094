// Failing opens, removal of the device, and ports that go away while open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tests/upgrader/support/pty.h"
#include "upgrader/serial/kiv_exclusive_open.h"

namespace serial {

namespace {

using test_support::Event;

class OneDeviceSource : public KivSerialDeviceSource {
public:
    explicit OneDeviceSource(std::string path) : device(kivDeviceForNodePath(path)) {}
    std::vector<KivSerialDeviceHandle> serialDevices() const override { return {device}; }
    KivSerialDeviceHandle device;
};

TEST(KivSerialPortLifecycle, MissingNodeReportsAnErrorNamingThePathAndStaysClosed) {
    // The node vanished between discovery and open.
    const std::string path = "/dev/ttyKIVGONE0";
    setKivSerialDeviceSource(std::make_shared<OneDeviceSource>(path));
    auto port = KivSerialPort::serialPortWithPath(path);
    setKivSerialDeviceSource(nullptr);
    ASSERT_TRUE(port);
    auto delegate = std::make_shared<test_support::RecordingDelegate>();
    port->setDelegate(delegate);
    port->open();
    EXPECT_FALSE(port->isOpen());
    ASSERT_EQ(delegate->count(Event::Error), 1u);  // on the main thread: delivered directly
    const KivPosixError error = delegate->errors().front();
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.filePath, path);
    EXPECT_EQ(error.localizedDescription, "No such file or directory");
    EXPECT_NE(error.message().find(path), std::string::npos);
    test_support::observeFor(std::chrono::milliseconds(30));
    EXPECT_EQ(delegate->count(Event::Opened), 0u);
}

TEST(KivSerialPortLifecycle, LockedNodeIsRefusedAndAStaleLockIsReplaced) {
    test_support::Pty pty;
    const auto dir = lockDirectory();
    ASSERT_TRUE(dir);
    test_support::OpenPort p(pty, false);
    {
        DeviceLockFile held;  // another holder: its flock is a separate lock
        ASSERT_EQ(held.acquire(*dir, pty.slavePath()), 0);
        p.port->open();
        EXPECT_FALSE(p.port->isOpen());
        ASSERT_EQ(p.delegate->count(Event::Error), 1u);
        EXPECT_EQ(p.delegate->errors().front().code, EBUSY);
        EXPECT_EQ(p.delegate->errors().front().filePath, pty.slavePath());
    }
    // A lock file left by a dead process, without flock.
    const std::string file = *dir + "/" + lockFileNameFor(pty.slavePath());
    std::ofstream(file) << "999999999\nsomeprogram\nsomehost\n";
    p.port->open();
    EXPECT_TRUE(p.port->isOpen());
    EXPECT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 1; }));
    p.closeAndWait();
    EXPECT_NE(::access(file.c_str(), F_OK), 0);
}

// An older tool's lock: a PID and a program name, no flock. It holds while
// that program runs; our own PID without a flock is a leftover of an earlier
// process that had our number.
TEST(KivSerialPortLifecycle, LockFileWithoutFlockHoldsWhileItsProgramRuns) {
    test_support::Pty pty;
    const auto dir = lockDirectory();
    ASSERT_TRUE(dir);
    const std::string file = *dir + "/" + lockFileNameFor(pty.slavePath());
    pid_t sleeper = 0;
    char arg0[] = "sleep", arg1[] = "60";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(::posix_spawnp(&sleeper, "sleep", nullptr, nullptr, argv, environ), 0);
    char exe[4096] = {};
    const std::string link = "/proc/" + std::to_string(sleeper) + "/exe";
    ASSERT_TRUE(test_support::waitFor([&] {  // the child has become sleep
        const ssize_t n = ::readlink(link.c_str(), exe, sizeof exe - 1);
        return n > 0 && std::string(exe, static_cast<std::size_t>(n)).find("sleep") != std::string::npos;
    }));
    const std::string name = std::string(exe).substr(std::string(exe).rfind('/') + 1);
    std::ofstream(file) << sleeper << "\n" << name << "\nhost\n";
    test_support::OpenPort p(pty, false);
    p.port->open();
    EXPECT_FALSE(p.port->isOpen());
    ASSERT_EQ(p.delegate->count(Event::Error), 1u);
    EXPECT_EQ(p.delegate->errors().front().code, EBUSY);
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);

    std::ofstream(file) << ::getpid() << "\nupgrader_serial_tests\nhost\n";
    p.port->open();
    EXPECT_TRUE(p.port->isOpen());
    p.closeAndWait();
    EXPECT_NE(::access(file.c_str(), F_OK), 0);
}

// The master side vanishes while data flows: removal, then closed, each
// exactly once, and the hung-up descriptor does not keep the read handler busy.
TEST(KivSerialPortLifecycle, HangUpIsARemovalReportedOnce) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    pty.write(test_support::Bytes(3000, 0x42));
    ASSERT_TRUE(test_support::waitFor([&] { return !p.delegate->receivedData().empty(); }));
    pty.write(test_support::Bytes(3000, 0x43));
    pty.closeMaster();  // with data still on its way
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Closed) == 1; }));
    EXPECT_FALSE(p.port->isOpen());
    test_support::observeFor(std::chrono::milliseconds(100));
    const auto order = p.delegate->orderWithoutErrors();
    EXPECT_EQ(std::count(order.begin(), order.end(), Event::Removed), 1);
    EXPECT_EQ(std::count(order.begin(), order.end(), Event::Closed), 1);
    const auto removed = std::find(order.begin(), order.end(), Event::Removed);
    EXPECT_LT(removed - order.begin(), std::find(order.begin(), order.end(), Event::Closed) - order.begin());
    EXPECT_LE(p.port->readHandlerRunCount(), 10u);
    EXPECT_TRUE(p.delegate->threadsOk());

    // The device monitor reports the same unplug later: not told twice.
    p.port->cleanupAfterSystemRemoval();
    EXPECT_EQ(p.delegate->count(Event::Removed), 1u);
}

TEST(KivSerialPortLifecycle, RemovalThenCloseAndTheDeprecatedCleanup) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    p.port->cleanupAfterSystemRemoval();
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Closed) == 1; }));
    EXPECT_EQ(p.delegate->orderWithoutErrors(), (std::vector<Event>{Event::Opened, Event::Removed, Event::Closed}));

    // On a closed port the outdated name only tells the delegate.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    p.port->cleanup();
#pragma GCC diagnostic pop
    EXPECT_EQ(p.delegate->count(Event::Removed), 2u);
    test_support::observeFor(std::chrono::milliseconds(20));
    EXPECT_EQ(p.delegate->count(Event::Closed), 1u);
}

// The manager drops a removed port right after telling it; the close that
// the removal started must still reach the delegate.
TEST(KivSerialPortLifecycle, ClosedIsReportedEvenWhenTheLastReferenceGoesDuringTheClose) {
    for (const bool byRemoval : {true, false}) {
        SCOPED_TRACE(byRemoval ? "removal" : "close");
        test_support::Pty pty;
        test_support::OpenPort p(pty);
        std::weak_ptr<KivSerialPort> weak = p.port;
        if (byRemoval)
            p.port->cleanupAfterSystemRemoval();
        else
            p.port->close();
        p.port.reset();
        ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Closed) == 1; }));
        EXPECT_TRUE(test_support::waitFor([&] { return weak.expired() && pty.slaveClosed(); }));
    }
}

TEST(KivSerialPortLifecycle, DroppingTheLastReferenceWhileOpenClosesTheDevice) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    pty.write({1, 2, 3});
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() == 3; }));
    std::weak_ptr<KivSerialPort> weak = p.port;
    p.port.reset();  // the last reference, while open
    // The lock file goes on the poll thread just after the descriptor.
    const std::string lockFile = *lockDirectory() + "/" + lockFileNameFor(pty.slavePath());
    EXPECT_TRUE(test_support::waitFor(
        [&] { return weak.expired() && pty.slaveClosed() && ::access(lockFile.c_str(), F_OK) != 0; }));
    // The device and its lock are free again.
    test_support::OpenPort again(pty);
    EXPECT_TRUE(again.port->isOpen());
    again.closeAndWait();
}

TEST(KivSerialPortLifecycle, DelegateThatDoesNotImplementCallbacksIsNotCalled) {
    test_support::Pty pty;
    test_support::OpenPort p(pty, false);
    p.delegate->missing = {KivSerialPortDelegateCallback::DidReceiveData, KivSerialPortDelegateCallback::WasClosed,
                           KivSerialPortDelegateCallback::DidEncounterError};
    p.port->open();
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 1; }));
    pty.write({1, 2, 3});
    p.port->close();
    ASSERT_TRUE(test_support::waitFor([&] { return !p.port->isOpen(); }));
    test_support::observeFor(std::chrono::milliseconds(30));
    EXPECT_EQ(p.delegate->order(), std::vector<Event>{Event::Opened});
}

TEST(KivSerialPortLifecycle, AVanishedDelegateReceivesNothing) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    std::weak_ptr<test_support::RecordingDelegate> weak = p.delegate;
    p.delegate.reset();
    EXPECT_TRUE(weak.expired());
    pty.write({1});
    p.port->close();
    EXPECT_TRUE(test_support::waitFor([&] { return !p.port->isOpen(); }));
}

TEST(KivSerialPortLifecycle, NeverHoldsTheDeviceOnDescriptorZero) {
    test_support::Pty pty;
    const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(savedStdin, 0);
    ::close(0);
    test_support::OpenPort p(pty, false);
    p.port->open();
    EXPECT_TRUE(p.port->isOpen());
    EXPECT_GT(p.port->fileDescriptor(), 0);
    EXPECT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 1; }));
    p.closeAndWait();  // frees whatever took descriptor 0 (the lock file)
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
}

// A pseudo-terminal has no modem lines by nature: saying so on every open
// read like a failure of the virtual port.
TEST(KivSerialPortLifecycle, PtyWithoutModemLinesReportsNoError) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    p.port->setRTS(true);
    p.port->setDTR(true);
    test_support::observeFor(std::chrono::milliseconds(60));  // several poll periods
    EXPECT_EQ(p.delegate->count(Event::Error), 0u);
    EXPECT_FALSE(p.port->CTS() || p.port->DSR() || p.port->DCD());
    p.closeAndWait();
}

}  // namespace

namespace {

// A character device that is no terminal is refused at open, with nothing
// left locked.
TEST(KivSerialPortLifecycle, NodeWithoutTerminalAttributesIsRefused) {
    auto port = KivSerialPort::serialPortWithPath("/dev/null");
    ASSERT_TRUE(port);
    auto delegate = std::make_shared<test_support::RecordingDelegate>();
    port->setDelegate(delegate);
    port->open();
    EXPECT_FALSE(port->isOpen());
    ASSERT_EQ(delegate->count(Event::Error), 1u);
    EXPECT_EQ(delegate->errors().front().code, ENOTTY);
    // Nothing stays locked.
    DeviceLockFile lock;
    EXPECT_EQ(lock.acquire(*lockDirectory(), "/dev/null"), 0);
}

}  // namespace

}  // namespace serial
