#include "tests/support/window_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>

#include "link/serial_locks.h"

extern char** environ;

namespace test_support {

WindowProcess::WindowProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& unset) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    gimbal::UniqueFd writeEnd(pipeFds[1]);
    out_ = gimbal::UniqueFd(pipeFds[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry = *e;
        const auto dropped = [&](const std::string& name) {
            return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
        };
        if (std::none_of(unset.begin(), unset.end(), dropped)) env.push_back(*e);
    }
    env.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
}

WindowProcess::~WindowProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
}

bool WindowProcess::readSome(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd readable{out_.get(), POLLIN, 0};
    const int n = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (n < 0) return errno == EINTR;
    if (n == 0) return false;
    char buf[4096];
    const ssize_t got = ::read(out_.get(), buf, sizeof buf);
    if (got < 0) return errno == EINTR;
    if (got == 0) return false;
    output_.append(buf, static_cast<std::size_t>(got));
    return true;
}

bool WindowProcess::waitForLine(const std::string& line, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        for (std::size_t nl; (nl = output_.find('\n', scanned_)) != std::string::npos; scanned_ = nl + 1) {
            if (output_.compare(scanned_, nl - scanned_, line) == 0) {
                scanned_ = nl + 1;
                return true;
            }
        }
        if (!readSome(end)) return false;
    }
}

bool WindowProcess::signal(int sig) const {
    return pid_ > 0 && ::kill(pid_, sig) == 0;
}

// The child's output closes when it ends (it starts nothing that inherits it).
std::optional<int> WindowProcess::waitForExit(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (readSome(end)) {}
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, std::chrono::steady_clock::now() < end ? 0 : WNOHANG);
    if (done != pid_) return std::nullopt;
    pid_ = -1;
    return status;
}

std::optional<bool> ttyExclusive(const std::string& path) {
    const gimbal::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    // Only the exclusive flag refuses an ordinary user's open with EBUSY;
    // root opens anyway and asks.
    if (!fd.valid()) return errno == EBUSY ? std::optional<bool>(true) : std::nullopt;
    int exclusive = 0;
    if (::ioctl(fd.get(), TIOCGEXCL, &exclusive) != 0) return std::nullopt;
    return exclusive != 0;
}

std::vector<std::string> lockFilesFor(const std::string& path) {
    std::vector<std::string> names{gimbal::lockFileNameFor(path)};
    if (const auto literal = gimbal::literalLockFileNameFor(path)) names.push_back(*literal);
    std::vector<std::string> found;
    for (const auto& dir : gimbal::lockDirectoryCandidates()) {
        for (const auto& name : names) {
            const std::filesystem::path file = std::filesystem::path(dir) / name;
            std::error_code ignored;
            if (std::filesystem::exists(file, ignored)) found.push_back(file.string());
        }
    }
    return found;
}

}  // namespace test_support
