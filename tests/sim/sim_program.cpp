#include "sim_program.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <utility>

namespace sim_test {

bool runningAsRoot() {
    return ::geteuid() == 0;
}

bool becomeNobodyIfRoot() {
    if (!runningAsRoot()) return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

Program::Program(std::vector<std::string> args, RunAs as, const std::string& folder) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    out_.reset(fds[0]);
    gimbal::UniqueFd write(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, write.get(), STDERR_FILENO);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<std::string> command;
    if (as == RunAs::Nobody && runningAsRoot())
        command = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    command.emplace_back(GIMBAL_SIM_PROGRAM);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Program::~Program() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void Program::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

std::string Program::readUntil(const std::string& stop) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((stop.empty() || output_.find(stop) == std::string::npos) && std::chrono::steady_clock::now() < until) {
        pollfd p{out_.get(), POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(out_.get(), buf, sizeof buf);
        if (n <= 0) break;
        output_.append(buf, static_cast<std::size_t>(n));
    }
    return output_;
}

std::string Program::firstLine() {
    const std::string out = readUntil("\n");
    const auto end = out.find('\n');
    return end == std::string::npos ? std::string() : out.substr(0, end);
}

int Program::exitCode() {
    readUntil("");
    int status = 0;
    const pid_t pid = std::exchange(pid_, -1);
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace sim_test
