#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

extern char** environ;

namespace flash_test {

namespace {

// Reads both pipes until both reach end of file or the deadline passes.
bool drain(int outFd, int errFd, std::string& out, std::string& err, std::chrono::steady_clock::time_point end) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const int n = ::poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buf, static_cast<std::size_t>(got));
            }
        }
    }
    return true;
}

}  // namespace

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::seconds deadline) {
    ChildResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    std::string out;
    if (spawned == 0 &&
        !drain(outPipe[0], errPipe[0], out, result.errorOutput, std::chrono::steady_clock::now() + deadline)) {
        result.timedOut = true;
        ::kill(pid, SIGKILL);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    if (spawned == 0) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    }
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) result.lines.push_back(line);
    return result;
}

}  // namespace flash_test
