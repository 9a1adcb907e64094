// quenlo-flash stopped by SIGINT, SIGTERM or SIGHUP in the middle of an
// upgrade: it says where it stood, exits with the shell's code for the
// signal, and leaves the port free: no lock file, and the exclusive flag
// cleared, so that an ordinary user can open it again. The gimbal is played
// by the test on a bare pseudo-terminal (the simulator would clear the flag
// itself when the client leaves).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/upgrader/support/random_image.h"
#include "tests/upgrader/support/pty.h"
#include "child_process.h"
#include "link/firmware_file.h"
#include "link/frame.h"
#include "link/serial_locks.h"

namespace {

namespace fs = std::filesystem;
using flash_test::ChildResult;
using flash_test::RunningChild;
using Bytes = std::vector<std::uint8_t>;

using flash_test::kProgram;

// errno of opening `path` as the user nobody (as this user when not root); 0 when it opens.
int openAsOrdinaryUser(const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(255);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

std::vector<std::string> lockFilesLeft(const std::string& port) {
    std::vector<std::string> names{gimbal::lockFileNameFor(port)};
    if (auto literal = gimbal::literalLockFileNameFor(port)) names.push_back(*literal);
    std::vector<std::string> left;
    for (const auto& dir : gimbal::lockDirectoryCandidates())
        for (const auto& name : names)
            if (std::error_code ec; fs::exists(dir + "/" + name, ec)) left.push_back(dir + "/" + name);
    return left;
}

// Announces until heard, as a gimbal does, then takes the upgrade to page 1 of MCU 0.
void upgradeToPage1(test_support::Pty& gimbal, RunningChild& flash) {
    const auto connected = [](const std::string& line) { return line.find("Gimbal Connected") != std::string::npos; };
    bool heard = false;
    for (int tries = 0; tries < 200 && !heard; ++tries) {
        gimbal.write(gimbal::announcementFrame(1024, 123));
        heard = flash.waitForLine(connected, std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(heard);
    ASSERT_EQ(gimbal.read(8 + 1036).size(), 8u + 1036u) << "enter-upgrade request and page 0";
    gimbal.write(gimbal::blockAckFrame(0));
    ASSERT_EQ(gimbal.read(1036).size(), 1036u) << "page 1";
}

// A firmware file of seven pages in the temporary folder.
fs::path sevenPageFile(const std::string& tag) {
    const std::array<Bytes, 3> images{test_support::randomImage(3, 1), test_support::randomImage(2, 2),
                                      test_support::randomImage(2, 3)};
    const fs::path file = fs::temp_directory_path() / ("flash-" + tag + "-" + std::to_string(::getpid()) + ".bin");
    const Bytes bytes = gimbal::composeFirmwareFile(images, 1024);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return file;
}

TEST(FlashSignals, ASignalMidUpgradeStopsSaysWhereExitsWithItsCodeAndFreesThePort) {
    const fs::path file = sevenPageFile("signal");
    const struct {
        int signal;
        bool json;
    } cases[] = {{SIGINT, false}, {SIGTERM, true}, {SIGHUP, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        test_support::Pty gimbal;
        const std::string port = gimbal.slavePath();
        if (::geteuid() == 0) {
            ASSERT_EQ(::chmod(port.c_str(), 0666), 0);  // so that nobody may try it afterwards
        }
        std::vector<std::string> args{"--port", port, file.string()};
        if (c.json) args.insert(args.begin(), "--json");
        RunningChild flash(kProgram, args);
        ASSERT_NO_FATAL_FAILURE(upgradeToPage1(gimbal, flash));

        ASSERT_EQ(::kill(flash.pid(), c.signal), 0);
        const ChildResult r = flash.finish(std::chrono::seconds(30));

        EXPECT_EQ(r.exitCode, 128 + c.signal) << dump(r);
        const std::string signal = c.signal == SIGINT ? "SIGINT" : c.signal == SIGTERM ? "SIGTERM" : "SIGHUP";
        const std::string text = "interrupted by " + signal +
                                 " at page 1 of MCU 0; the gimbal stays in upgrade mode until a whole upgrade "
                                 "completes: run quenlo-flash again";
        const std::string expected = c.json ? "{\"event\":\"interrupted\",\"port\":\"" + port + "\",\"signal\":\"" +
                                                  signal + "\",\"code\":" + std::to_string(128 + c.signal) +
                                                  ",\"kind\":\"interrupted\",\"mcu\":0,\"page\":1,\"text\":\"" + text +
                                                  "\"}"
                                            : port + ": " + text;
        // Text goes to standard error; JSON keeps standard output all JSON.
        const std::vector<std::string>& stream = c.json ? r.lines : r.errorLines;
        EXPECT_EQ(std::count(stream.begin(), stream.end(), expected), 1) << expected << "\n" << dump(r);
        EXPECT_EQ(lockFilesLeft(port), std::vector<std::string>{});
        EXPECT_EQ(openAsOrdinaryUser(port), 0) << "the exclusive flag is still set: " << std::strerror(EBUSY);
    }
    fs::remove(file);
}

// Under nohup a closed terminal must not end the upgrade: the SIGHUP that
// nohup ignores stays ignored, and the upgrade runs to its end.
TEST(FlashSignals, UnderNohupSIGHUPIsIgnoredAndTheUpgradeGoesOn) {
    const fs::path file = sevenPageFile("nohup");
    test_support::Pty gimbal;
    RunningChild flash("/usr/bin/nohup", {kProgram, "--port", gimbal.slavePath(), file.string()});
    ASSERT_NO_FATAL_FAILURE(upgradeToPage1(gimbal, flash));
    ASSERT_EQ(::kill(flash.pid(), SIGHUP), 0);
    // The rest: pages 1 and 2 of MCU 0, a switch, two pages, a switch, two pages.
    for (std::uint16_t page = 1; page < 3; ++page) {
        gimbal.write(gimbal::blockAckFrame(page));
        ASSERT_EQ(gimbal.read(page < 2 ? 1036 : 8).size(), page < 2 ? 1036u : 8u) << "MCU 0, after page " << page;
    }
    for (int mcu = 1; mcu < 3; ++mcu) {
        gimbal.write(gimbal::switchAckFrame());
        ASSERT_EQ(gimbal.read(1036).size(), 1036u) << "MCU " << mcu << ", page 0";
        gimbal.write(gimbal::blockAckFrame(0));
        ASSERT_EQ(gimbal.read(1036).size(), 1036u) << "MCU " << mcu << ", page 1";
        gimbal.write(gimbal::blockAckFrame(1));
        if (mcu == 1) {
            ASSERT_EQ(gimbal.read(8).size(), 8u) << "the second switch";
        }
    }
    const ChildResult r = flash.finish(std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 0) << dump(r);
    EXPECT_EQ(r.lines.back(), "summary: " + gimbal.slavePath() + ": upgraded") << dump(r);
    fs::remove(file);
}

// A close that never finishes (a driver stuck in it holds the poll thread)
// held quenlo-flash's exit for 20 s: 5 s for the closes, 10 s in the signal
// watch, 5 s for the threads. The way out has one budget of 5 s, and the
// line logged says plainly what was left behind.
TEST(FlashSignals, ACloseThatNeverFinishesHoldsTheExitForOneBudgetNotOnePerStep) {
    test_support::Pty pty;
    const ChildResult r = flash_test::runChild(FLASH_EXIT_HARNESS, {pty.slavePath()}, std::chrono::seconds(60));
    ASSERT_EQ(r.exitCode, 0) << dump(r);
    long long took = -1;
    for (const auto& line : r.lines) std::sscanf(line.c_str(), "EXIT TOOK %lld ms", &took);
    std::printf("the way out took %lld ms\n", took);
    EXPECT_GE(took, 0) << dump(r);
    EXPECT_LT(took, 12000) << dump(r);
    EXPECT_NE(r.errorOutput.find("a port's close did not finish within 5 s"), std::string::npos) << dump(r);
    EXPECT_EQ(r.errorOutput.find("; )"), std::string::npos) << dump(r);
}

}  // namespace
