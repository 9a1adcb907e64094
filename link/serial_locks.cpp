#include "link/serial_locks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace gimbal {

namespace {

std::string lockNameOfSpelling(const std::string& path) {
    std::string name = path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
    for (char& c : name)
        if (c == '/') c = '_';
    return "LCK.." + name;
}

}  // namespace

std::string resolvedDevicePath(const std::string& path) {
    std::string resolved = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        resolved = real;
        std::free(real);
    }
    return resolved;
}

std::string lockFileNameFor(const std::string& devicePath) {
    return lockNameOfSpelling(resolvedDevicePath(devicePath));
}

std::optional<std::string> literalLockFileNameFor(const std::string& devicePath) {
    const std::string literal = lockNameOfSpelling(devicePath);
    if (literal == lockFileNameFor(devicePath)) return std::nullopt;
    return literal;
}

std::vector<std::string> lockDirectoryCandidates() {
    std::vector<std::string> dirs = {"/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
                                     "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"};
    const char* tmp = std::getenv("TMPDIR");
    dirs.emplace_back(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    return dirs;
}

std::optional<std::string> lockDirectory() {
    for (const auto& dir : lockDirectoryCandidates()) {
        struct stat info {};
        if (::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && ::access(dir.c_str(), W_OK) == 0) return dir;
    }
    return std::nullopt;
}

}  // namespace gimbal
