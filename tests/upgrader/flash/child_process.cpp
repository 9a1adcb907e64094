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

RunningChild::RunningChild(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& environment) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // An entry given here replaces the inherited one of that name.
    const auto overridden = [&](const std::string& entry) {
        for (const auto& e : environment)
            if (entry.compare(0, e.find('=') + 1, e, 0, e.find('=') + 1) == 0) return true;
        return false;
    };
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        if (!overridden(*e)) envp.push_back(*e);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
}

RunningChild::~RunningChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
    }
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
}

// Reads what is there, waiting until something comes, both pipes end or `end` passes.
bool RunningChild::pump(std::chrono::steady_clock::time_point end) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    std::string* sinks[2] = {&out_, &err_};
    int* ends[2] = {&outFd_, &errFd_};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int n = ::poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return n < 0 ? false : std::chrono::steady_clock::now() < end;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buf[4096];
        const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ::close(*ends[i]);
            *ends[i] = -1;
        } else {
            sinks[i]->append(buf, static_cast<std::size_t>(got));
        }
    }
    return true;
}

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

}  // namespace

std::vector<std::string> RunningChild::lines() const {
    return splitLines(out_);
}

bool RunningChild::waitForLines(const std::function<bool(const std::string&)>& test, std::size_t count,
                                std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        std::istringstream in(out_);
        std::size_t passed = 0;
        for (std::string line; std::getline(in, line);)
            if (!in.eof() && test(line) && ++passed >= count) return true;  // whole lines, ended by '\n'
        if (outFd_ < 0 || !pump(end)) return false;
    }
}

void RunningChild::closeOutput() {
    if (outFd_ >= 0) ::close(outFd_);
    outFd_ = -1;
}

ChildResult RunningChild::finish(std::chrono::milliseconds deadline) {
    ChildResult result;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (outFd_ >= 0 || errFd_ >= 0) {
        if (!pump(end)) {
            result.timedOut = true;
            break;
        }
    }
    if (pid_ > 0) {
        if (result.timedOut) ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
        if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    }
    result.lines = lines();
    result.errorOutput = err_;
    result.errorLines = splitLines(err_);
    return result;
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& args, std::chrono::seconds deadline,
                     const std::vector<std::string>& environment) {
    RunningChild child(program, args, environment);
    return child.finish(deadline);
}

std::string dump(const ChildResult& result) {
    std::string s = "exit " + std::to_string(result.exitCode) + "\nstdout:\n";
    for (const auto& l : result.lines) s += l + "\n";
    return s + "stderr:\n" + result.errorOutput;
}

}  // namespace flash_test
