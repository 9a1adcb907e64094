#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "tests/upgrader/support/pty.h"
#include "link/port_diagnosis.h"
#include "upgrader/serial/kiv_exclusive_open.h"

namespace serial {

namespace {

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
    pid_t sleeper = 0;
    char arg0[] = "sleep", arg1[] = "60";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(::posix_spawnp(&sleeper, "sleep", nullptr, nullptr, argv, environ), 0);
    const std::string file = *dir + "/" + *literal;
    std::ofstream(file) << sleeper << "\n\nhost\n";  // no program name: the PID alone decides
    ExclusiveDevice device;
    const char* failed = nullptr;
    EXPECT_EQ(device.open(link, failed), EBUSY);
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
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
        ::_exit(device.open(path, failed) & 0x7f);
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

    ::unlink(file.c_str());
    std::ofstream(file) << "1\ninit\nhost\n";  // alive, and not ours to look into
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
    const std::vector<std::pair<const char*, std::function<int(const std::string&)>>> plants{
        {"fifo", [](const std::string& f) { return ::mkfifo(f.c_str(), 0666); }},
        {"link to a file", [](const std::string& f) { return ::symlink("/etc/hostname", f.c_str()); }},
        {"link loop", [](const std::string& f) { return ::symlink(f.c_str(), f.c_str()); }},
        {"pid 2^32-1", [](const std::string& f) { return std::ofstream(f) << "4294967295\n" ? 0 : 1; }},
        {"pid past long", [](const std::string& f) { return std::ofstream(f) << "99999999999999999999999\n" ? 0 : 1; }},
        {"pid -1", [](const std::string& f) { return std::ofstream(f) << "-1\nsh\n" ? 0 : 1; }},
    };
    const auto dir = lockDirectory();
    ASSERT_TRUE(dir);
    for (const auto& [what, plant] : plants) {
        for (const uid_t victim : {uid_t{0}, kDaemon}) {
            SCOPED_TRACE(std::string(what) + (victim == 0 ? ", opened by root" : ", opened by daemon"));
            test_support::Pty pty;
            ASSERT_EQ(::chown(pty.slavePath().c_str(), victim, victim), 0);
            const std::string file = *dir + "/" + lockFileNameFor(pty.slavePath());
            ASSERT_EQ(inChildAs(kNobody, [&, &plant = plant] { return plant(file); }, std::chrono::seconds(10)), 0);
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
            ::unlink(file.c_str());
        }
    }
}

}  // namespace

}  // namespace serial
