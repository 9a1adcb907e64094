// gimbal-sim among other processes: a client killed while it held the port
// exclusively, the program stopped by its terminal closing, a link left
// behind by a killed simulator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "link/firmware_file.h"
#include "link/frame.h"
#include "sim_program.h"
#include "termios_client.h"

namespace sim_test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A folder anyone may write to, removed at the end.
struct SharedFolder {
    SharedFolder() {
        path = fs::temp_directory_path() / ("gimbal-sim-life-" + std::to_string(::getpid()));
        fs::create_directories(path);
        fs::permissions(path, fs::perms::all);
    }
    ~SharedFolder() { fs::remove_all(path); }
    fs::path path;
};

// A folder of ours that nobody else may enter, removed at the end.
struct PrivateFolder {
    PrivateFolder() {
        path = fs::temp_directory_path() / ("gimbal-sim-own-" + std::to_string(::getpid()));
        fs::create_directories(path);
        fs::permissions(path, fs::perms::owner_all);
    }
    ~PrivateFolder() { fs::remove_all(path); }
    fs::path path;
};

// XDG_RUNTIME_DIR for this test and the programs it starts.
class RuntimeFolder {
public:
    explicit RuntimeFolder(const fs::path& path) {
        const char* saved = std::getenv("XDG_RUNTIME_DIR");
        had_ = saved != nullptr;
        kept_ = saved ? saved : "";
        ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }
    ~RuntimeFolder() { had_ ? ::setenv("XDG_RUNTIME_DIR", kept_.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR"); }

private:
    bool had_ = false;
    std::string kept_;
};

int exitStatusOf(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A client (nobody, when we are root) that opens `path` and marks it
// exclusive as the tools do, says so on `ready` and waits to be killed.
pid_t holdExclusively(const std::string& path, int ready) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (!becomeNobodyIfRoot()) ::_exit(10);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::ioctl(fd, TIOCEXCL) != 0) ::_exit(11);
    const char byte = 1;
    if (::write(ready, &byte, 1) != 1) ::_exit(12);
    for (;;) ::pause();
}

// In the child: opens `path` exclusively, waiting (10 s at most) while it is
// busy, and reads the gimbal's announcement. 0 on success, else what failed.
[[noreturn]] void openExclusivelyAndHearTheGimbal(const std::string& path) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    int fd = -1;
    while ((fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        if (errno != EBUSY) ::_exit(2);
        if (Clock::now() > until) ::_exit(3);  // still busy: nobody cleared the flag
        ::poll(nullptr, 0, 20);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) ::_exit(4);
    const std::array<unsigned char, 4> announcement{0x55, 0xAA, 0x00, 0x00};
    std::vector<unsigned char> got;
    while (std::search(got.begin(), got.end(), announcement.begin(), announcement.end()) == got.end()) {
        pollfd p{fd, POLLIN, 0};
        if (Clock::now() > until) ::_exit(5);
        if (::poll(&p, 1, 200) <= 0) continue;
        unsigned char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0 && errno != EAGAIN) ::_exit(6);
        if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    ::_exit(0);
}

// A tool killed while it held the port leaves the terminal's exclusive flag
// set; only root could open it then. The simulator clears it, so the next
// user's tool gets the port without restarting the simulator.
TEST(SimLifecycle, TheNextUserGetsThePortAfterAClientWasKilledHoldingItExclusively) {
    SharedFolder out;
    Program program({"--out", out.path.string()}, RunAs::Nobody);
    const std::string path = program.firstLine();
    ASSERT_FALSE(path.empty()) << "gimbal-sim did not start";

    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const gimbal::UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    const pid_t first = holdExclusively(path, readyWrite.get());
    ASSERT_GT(first, 0);
    pollfd p{readyRead.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the first client never held the port";
    ::kill(first, SIGKILL);
    ASSERT_EQ(::waitpid(first, nullptr, 0), first);

    const pid_t second = ::fork();
    if (second == 0) {
        if (!becomeNobodyIfRoot()) ::_exit(10);
        openExclusivelyAndHearTheGimbal(path);
    }
    ASSERT_GT(second, 0);
    EXPECT_EQ(exitStatusOf(second), 0) << "3: still busy, 5: the gimbal stayed silent";
}

// gimbal-sim as the controlling process of a terminal of its own, as when it
// runs in a terminal window; closing `master` is closing that window.
struct InTerminal {
    pid_t pid = -1;
    gimbal::UniqueFd master;
};

InTerminal startInTerminal(std::vector<std::string> args) {
    InTerminal t;
    t.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    std::array<char, 128> name{};
    if (!t.master.valid() || ::grantpt(t.master.get()) != 0 || ::unlockpt(t.master.get()) != 0 ||
        ::ptsname_r(t.master.get(), name.data(), name.size()) != 0)
        return t;
    args.insert(args.begin(), GIMBAL_SIM_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    t.pid = ::fork();
    if (t.pid == 0) {
        ::setsid();
        const int tty = ::open(name.data(), O_RDWR);
        if (tty < 0 || ::ioctl(tty, TIOCSCTTY, 0) != 0) ::_exit(126);
        for (int fd = 0; fd < 3; ++fd) ::dup2(tty, fd);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return t;
}

// The first line the program wrote on its terminal (20 s at most).
std::string firstLineOn(int master) {
    std::string text;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (text.find('\n') == std::string::npos && Clock::now() < until) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();  // the terminal's newline
    return text;
}

// Closing the terminal window is a stop like any other: the recordings and
// their summary are written and the link goes, though nobody sees the output.
TEST(SimLifecycle, ClosingItsTerminalStopsItCleanly) {
    PrivateFolder dir;
    const RuntimeFolder runtime(dir.path);
    InTerminal program =
        startInTerminal({"--dialect", "blocks", "--block-size", "64", "--link", "window", "--out", dir.path.string()});
    ASSERT_GT(program.pid, 0);
    const std::string link = firstLineOn(program.master.get());
    ASSERT_EQ(link, (dir.path / "virtual-serial" / "window").string());

    TermiosClient client(link);
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    const Bytes file = gimbal::composeFirmwareFile(makeImages(64, {2, 1, 3}), 64);
    ASSERT_TRUE(playUpgrade(client, file, 64, gimbal::updaterSwitchFrame()));

    program.master.reset();  // the window closes: SIGHUP
    EXPECT_EQ(exitStatusOf(program.pid), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(fileBytes(dir.path / ("image" + std::to_string(i + 1) + ".bin")), imageOf(file, i, 64));
    const Bytes summary = fileBytes(dir.path / "gimbal-sim-summary.txt");
    EXPECT_NE(std::string(summary.begin(), summary.end()).find("image3.bin: 3 blocks (0-2), 192 bytes\n"),
              std::string::npos);
}

// Waits (5 s at most) until the clock that stamps files has passed `t`, so
// that a terminal made next is stamped later than a link made at `t`.
bool clockPassed(const timespec& t) {
    const auto until = Clock::now() + std::chrono::seconds(5);
    for (timespec now{}; Clock::now() < until; ::poll(nullptr, 0, 1)) {
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (now.tv_sec > t.tv_sec || (now.tv_sec == t.tv_sec && now.tv_nsec > t.tv_nsec)) return true;
    }
    return false;
}

// Opens pseudo-terminals (16 at most) until one is `path`; all stay open.
bool takeTerminal(const std::string& path, std::vector<gimbal::UniqueFd>& held) {
    for (int i = 0; i < 16; ++i) {
        gimbal::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        std::array<char, 128> name{};
        if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0 ||
            ::ptsname_r(master.get(), name.data(), name.size()) != 0)
            return false;
        held.push_back(std::move(master));
        if (path == name.data()) return true;
    }
    return false;
}

// A killed simulator leaves its link behind, leading to a terminal number
// that the next terminal made on the machine takes again: often the next
// simulator's own, or another program's. Neither makes the name "in use";
// a simulator that still plays does, and the refusal names it.
TEST(SimLifecycle, ALinkLeftByAKilledSimulatorIsReplacedAndALiveOneIsNamed) {
    PrivateFolder dir;
    const RuntimeFolder runtime(dir.path);
    const std::string link = (dir.path / "virtual-serial" / "bench").string();
    const std::vector<std::string> args{"--link", "bench", "--out", dir.path.string()};

    Program first(args);
    ASSERT_EQ(first.firstLine(), link);
    first.signal(SIGKILL);
    EXPECT_EQ(first.exitCode(), -1);
    ASSERT_TRUE(fs::is_symlink(link)) << "a killed program cannot remove its link";

    Program second(args);  // its terminal most likely has the first one's number
    ASSERT_EQ(second.firstLine(), link) << second.readUntil("");
    {
        TermiosClient client(link);
        EXPECT_TRUE(client.readFrame()) << "the link leads to the second simulator";
    }
    const std::string target = fs::read_symlink(link).string();
    struct stat made {};
    ASSERT_EQ(::lstat(link.c_str(), &made), 0);
    second.signal(SIGKILL);
    EXPECT_EQ(second.exitCode(), -1);

    // Another program (this test) has taken the terminal number since.
    ASSERT_TRUE(clockPassed(made.st_mtim));
    std::vector<gimbal::UniqueFd> held;
    if (!takeTerminal(target, held)) GTEST_SKIP() << "another program took " << target << " first";
    Program third(args);
    ASSERT_EQ(third.firstLine(), link) << third.readUntil("");

    Program fourth(args);
    EXPECT_EQ(fourth.exitCode(), 1);
    const std::string refusal = fourth.readUntil("");
    EXPECT_NE(refusal.find("the terminal of gimbal-sim (pid " + std::to_string(third.pid()) + ")"), std::string::npos)
        << refusal;
    EXPECT_NE(refusal.find("rm '" + link + "'"), std::string::npos) << refusal;
    EXPECT_TRUE(fs::is_symlink(link));
}

}  // namespace
}  // namespace sim_test
