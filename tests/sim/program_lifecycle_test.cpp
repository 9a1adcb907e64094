// gimbal-sim among other processes: a client killed while it held the port
// exclusively, the program stopped by its terminal closing, a link left
// behind by a killed simulator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>

#include "sim_program.h"

namespace simtest {
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

}  // namespace
}  // namespace simtest
