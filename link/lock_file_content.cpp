#include "link/lock_file_content.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>

#include "link/posix_io.h"

namespace gimbal {

namespace {

constexpr std::size_t kReadLimit = 512;
// The kernel's own ceiling for pid_max on 64-bit machines.
constexpr long kPidMaxLimit = 4194304;

}  // namespace

UniqueFd openLockFile(const std::string& path) {
    UniqueFd fd(retryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY); }));
    if (!fd.valid()) return fd;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return UniqueFd();
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    return fd;
}

LockFileContent readLockFile(int fd) {
    std::array<char, kReadLimit> buffer{};
    const ssize_t n = retryOnInterrupt([&] { return ::pread(fd, buffer.data(), buffer.size(), 0); });
    return parseLockFileText(n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string());
}

// Digits with blanks around them (Qt writes "%10d"), maybe followed by the
// program's name; anything else, or a number no process can have, names nobody.
LockFileContent parseLockFileText(const std::string& text) {
    LockFileContent content;
    const auto newline = text.find('\n');
    const std::string first = text.substr(0, newline);
    if (newline != std::string::npos) {
        const auto end = text.find('\n', newline + 1);
        content.program = text.substr(newline + 1, end == std::string::npos ? std::string::npos : end - newline - 1);
    }
    const auto begin = first.find_first_not_of(' ');
    if (begin == std::string::npos) return content;
    const auto digitsEnd = std::min(first.find(' ', begin), first.size());
    const std::string digits = first.substr(begin, digitsEnd - begin);
    // Older tools write "PID program user" on one line.
    if (const auto word = first.find_first_not_of(' ', digitsEnd); word != std::string::npos && content.program.empty())
        content.program = first.substr(word, first.find(' ', word) - word);
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return content;
    const long pid = std::stol(digits);
    if (pid >= 1 && pid <= maxProcessId()) content.pid = pid;
    return content;
}

long maxProcessId() {
    static const long value = [] {
        std::ifstream in("/proc/sys/kernel/pid_max");
        long max = 0;
        return in >> max && max > 0 && max <= kPidMaxLimit ? max : kPidMaxLimit;
    }();
    return value;
}

}  // namespace gimbal
