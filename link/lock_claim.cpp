#include "link/lock_claim.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>

#include "link/posix_io.h"

namespace gimbal {

namespace {

std::string commandName(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string line;
    std::getline(in, line);
    return line;
}

bool alive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

std::string executableName(long pid) {
    std::array<char, 4096> target{};
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size() - 1);
    if (n <= 0) return {};
    std::string path(target.data(), static_cast<std::size_t>(n));
    // A program replaced on disk (an upgrade) runs on; its name stays.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path.substr(path.find_last_of('/') + 1);
}

bool processRunsProgram(long pid, const std::string& program) {
    if (program.empty() || !alive(pid)) return false;
    if (const std::string running = executableName(pid); !running.empty()) return running == program;
    // The kernel keeps the first 15 bytes of the name.
    const std::string command = commandName(pid);
    return !command.empty() && command == program.substr(0, 15);
}

LockJudgement judgeLockFile(const std::string& file) {
    LockJudgement j;
    struct stat named {};
    if (::lstat(file.c_str(), &named) != 0) {
        if (errno != ENOENT) j.claim = LockClaim::Failed, j.error = errno;
        return j;
    }
    if (!S_ISREG(named.st_mode)) {
        j.claim = LockClaim::NotALock;
        return j;
    }
    UniqueFd fd = openLockFile(file);
    if (!fd.valid()) {
        if (errno == ENOENT) return j;
        if (errno == ELOOP || errno == EINVAL)
            j.claim = LockClaim::NotALock;  // swapped since the look
        else if (errno == EACCES)
            j.claim = LockClaim::Unreadable;
        else
            j.claim = LockClaim::Failed, j.error = errno;
        return j;
    }
    j.content = readLockFile(fd.get());
    if (retryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
        if (errno != EWOULDBLOCK) {
            j.claim = LockClaim::Failed, j.error = errno;
            return j;
        }
        j.claim = LockClaim::Held;
        j.flocked = true;
        return j;
    }
    // Our own PID with nobody holding the flock is a file left by an earlier
    // process that had our PID: while we hold a lock, we hold its flock too.
    const bool naming = j.content.pid && *j.content.pid != ::getpid();
    if (naming && processRunsProgram(*j.content.pid, j.content.program)) {
        j.claim = LockClaim::Held;
        return j;
    }
    j.claim = LockClaim::Stale;
    j.fd = std::move(fd);
    return j;
}

std::string whatIsAt(const std::string& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) return "nothing";
    if (S_ISDIR(info.st_mode)) return "a directory";
    if (S_ISFIFO(info.st_mode)) return "a FIFO";
    if (S_ISLNK(info.st_mode)) return "a symbolic link";
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return "a device";
    if (S_ISSOCK(info.st_mode)) return "a socket";
    return "a file";
}

std::string removalCommand(const std::string& file) {
    struct stat info {};
    const bool directory = ::lstat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return (directory ? "sudo rm -r " : "sudo rm ") + file;
}

}  // namespace gimbal
