#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "tests/support/holding_process.h"
#include "tests/upgrader/support/pty.h"
#include "link/port_diagnosis.h"
#include "upgrader/serial/kiv_exclusive_open.h"

namespace serial {

namespace {

// A running `sleep` (exec'd before the constructor returns), killed with the object.
struct Sleeper {
    Sleeper() {
        char arg0[] = "sleep", arg1[] = "60";
        char* argv[] = {arg0, arg1, nullptr};
        if (::posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) != 0) pid = -1;
    }
    ~Sleeper() { stop(); }
    void stop() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(std::exchange(pid, -1), nullptr, 0);
    }
    pid_t pid = -1;
};

TEST(ExclusiveOpen, LockFileNames) {
    EXPECT_EQ(lockFileNameFor("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(lockFileNameFor("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(lockFileNameFor("/tmp/vport"), "LCK.._tmp_vport");
    EXPECT_EQ(lockDirectoryCandidates().front(), "/var/lock");

    // Every spelling of one device names one lock: a by-id link, a virtual port.
    test_support::Pty pty;
    const std::string link = "/tmp/kiv-lock-link-" + std::to_string(::getpid());
    ASSERT_EQ(::symlink(pty.slavePath().c_str(), link.c_str()), 0);
    EXPECT_EQ(lockFileNameFor(link), lockFileNameFor(pty.slavePath()));

    // Qt Serial Port locks a link as spelled: that lock keeps us out too.
    const auto dir = lockDirectory();
    const auto literal = gimbal::literalLockFileNameFor(link);
    ASSERT_TRUE(dir && literal);
    Sleeper sleeper;
    ASSERT_GT(sleeper.pid, 0);
    const std::string file = *dir + "/" + *literal;
    std::ofstream(file) << sleeper.pid << "\nsleep\nhost\n";  // no flock: the living program it names decides
    ExclusiveDevice device;
    const char* failed = nullptr;
    EXPECT_EQ(device.open(link, failed), EBUSY);
    sleeper.stop();
    EXPECT_EQ(device.open(link, failed), 0) << "the holder is gone";
    ::unlink(file.c_str());
    ::unlink(link.c_str());
}

TEST(ExclusiveOpen, SecondOpenOfTheSameDeviceIsRefusedUntilTheFirstCloses) {
    test_support::Pty pty;
    ExclusiveDevice first, second;
    const char* failed = nullptr;
    ASSERT_EQ(first.open(pty.slavePath(), failed), 0);
    EXPECT_EQ(second.open(pty.slavePath(), failed), EBUSY);
    EXPECT_STREQ(failed, "lock");
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(first.close(), 0);
    EXPECT_EQ(second.open(pty.slavePath(), failed), 0);
}

// A program holding the port by flock alone (pyserial's exclusive mode does)
// keeps its unread input and its line settings when our open is refused: as
// root the exclusive flag protects nobody, so only the order of the open does.
TEST(ExclusiveOpen, ARefusedOpenLeavesTheHoldersInputAndSettingsAlone) {
    test_support::Pty pty;
    test_support::HoldingProcess holder([&] {
        const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::tcgetattr(fd, &t) != 0) return false;
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // its own settings, not raw
        ::cfsetspeed(&t, B4800);
        return ::tcsetattr(fd, TCSANOW, &t) == 0;
    });
    ASSERT_TRUE(holder.held);
    const test_support::Bytes input(22, 'x');
    pty.write(input);
    const int look = ::open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(look, 0);
    int waiting = 0;
    ASSERT_TRUE(test_support::waitFor([&] { return ::ioctl(look, FIONREAD, &waiting) == 0 && waiting == 22; }));
    const termios before = pty.slaveAttributes();

    ExclusiveDevice device;
    const char* failed = nullptr;
    EXPECT_EQ(device.open(pty.slavePath(), failed), EBUSY);
    EXPECT_STREQ(failed, "flock");
    EXPECT_EQ(::ioctl(look, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 22) << "the holder's input was flushed";
    const termios after = pty.slaveAttributes();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    int exclusive = 0;
    EXPECT_EQ(::ioctl(look, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the exclusive flag was set on another's line";
    ::close(look);
}

TEST(ExclusiveOpen, LockFileCarriesPidProgramAndHost) {
    test_support::Pty pty;
    const auto dir = lockDirectory();
    ASSERT_TRUE(dir);
    DeviceLockFile lock;
    ASSERT_EQ(lock.acquire(*dir, pty.slavePath()), 0);
    char buffer[512] = {};
    FILE* file = std::fopen(lock.file().c_str(), "r");
    ASSERT_TRUE(file);
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    const std::string content(buffer, n);
    EXPECT_EQ(content.rfind(std::to_string(::getpid()) + "\nupgrader_serial_tests\n", 0), 0u) << content;
    const std::string path = lock.file();
    lock.release();
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

// Runs `open` of `path` as the user nobody in a child process; answers the
// errno it gave (0: opened), or -1 when the child could not run it.
int openAsNobody(const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
        ExclusiveDevice device;
        const char* failed = nullptr;
        const int error = device.open(path, failed);
        device.close();  // _exit runs no destructor: the exclusive flag would stay on the pty
        ::_exit(error & 0x7f);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

// A lock file another user left (an interrupted sudo run: root's, 0644, in
// the sticky lock folder) can be neither written nor removed by an ordinary
// user. Stale, it must not lock them out of the device; alive, it is "busy",
// not a permission problem.
TEST(ExclusiveOpen, AnotherUsersLockFileAsAnOrdinaryUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to leave a lock file as another user and open as nobody";
    test_support::Pty pty;
    ASSERT_EQ(::chown(pty.slavePath().c_str(), 65534, 65534), 0);
    const auto dir = lockDirectory();
    ASSERT_TRUE(dir);
    const std::string file = *dir + "/" + lockFileNameFor(pty.slavePath());

    std::ofstream(file) << "999999999\nsudo\nhost\n";  // its process is long gone
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(openAsNobody(pty.slavePath()), 0);

    // Alive and the program it names, seen by its command name: another
    // user's executable cannot be read.
    ::unlink(file.c_str());
    const Sleeper sleeper;
    std::ofstream(file) << sleeper.pid << "\nsleep\nhost\n";
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(openAsNobody(pty.slavePath()), EBUSY);
    ::unlink(file.c_str());
}

// Runs `work` in a child process as `uid` (0: as this user); answers its
// exit code, or none when it was still running at the deadline (killed then).
std::optional<int> inChildAs(uid_t uid, const std::function<int()>& work, std::chrono::seconds deadline) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(255);
        ::_exit(work() & 0x7f);
    }
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            return std::nullopt;
        }
        test_support::observeFor(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The lock folder is writable by every user, so another user (nobody here)
// may put anything at a port's lock path: a FIFO (opening it to read waits
// for a writer), a link to a file or a loop, a file naming a PID no process
// can have. None of it may make the open wait, nor keep the port busy, for
// root (who may remove it) or an ordinary user (who may not), nor make the
// diagnosis wait or name a holder.
TEST(ExclusiveOpen, WhateverAnotherUserPutsAtTheLockPathNeitherBlocksNorHoldsThePort) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to plant as nobody and open as root and as daemon";
    constexpr uid_t kNobody = 65534, kDaemon = 1;
    const Sleeper sleeper;
    const std::vector<std::pair<const char*, std::function<int(const std::string&)>>> plants{
        {"fifo", [](const std::string& f) { return ::mkfifo(f.c_str(), 0666); }},
        {"link to a file", [](const std::string& f) { return ::symlink("/etc/hostname", f.c_str()); }},
        {"link loop", [](const std::string& f) { return ::symlink(f.c_str(), f.c_str()); }},
        {"pid 2^32-1", [](const std::string& f) { return std::ofstream(f) << "4294967295\n" ? 0 : 1; }},
        {"pid past long", [](const std::string& f) { return std::ofstream(f) << "99999999999999999999999\n" ? 0 : 1; }},
        {"pid -1", [](const std::string& f) { return std::ofstream(f) << "-1\nsh\n" ? 0 : 1; }},
        // A live PID proves nothing without the program it names: PID 1 is always alive.
        {"pid 1, no name", [](const std::string& f) { return std::ofstream(f) << "1\n\n" ? 0 : 1; }},
        {"minicom naming a sleep",
         [&](const std::string& f) { return std::ofstream(f) << sleeper.pid << "\nminicom\nhost\n" ? 0 : 1; }},
        {"directory", [](const std::string& f) { return ::mkdir(f.c_str(), 0755); }},
    };
    const auto dir = lockDirectory();
    ASSERT_TRUE(dir);
    for (const auto& [what, plant] : plants) {
        for (const uid_t victim : {uid_t{0}, kDaemon}) {
            SCOPED_TRACE(std::string(what) + (victim == 0 ? ", opened by root" : ", opened by daemon"));
            test_support::Pty pty;
            ASSERT_EQ(::chown(pty.slavePath().c_str(), victim, victim), 0);
            const std::string file = *dir + "/" + lockFileNameFor(pty.slavePath());
            ASSERT_EQ(inChildAs(
                          kNobody, [&, &plant = plant] { return plant(file); }, std::chrono::seconds(10)),
                      0);
            const auto opened = inChildAs(
                victim,
                [&] {
                    ExclusiveDevice device;
                    const char* failed = nullptr;
                    return device.open(pty.slavePath(), failed);
                },
                std::chrono::seconds(20));
            EXPECT_EQ(opened, 0);
            const auto diagnosed = inChildAs(
                victim, [&] { return gimbal::findPortHolder(pty.slavePath()) ? 1 : 0; }, std::chrono::seconds(20));
            EXPECT_EQ(diagnosed, 0) << "a holder was named, or the diagnosis waited";
            if (::unlink(file.c_str()) != 0) ::rmdir(file.c_str());
        }
    }
}

}  // namespace

}  // namespace serial
