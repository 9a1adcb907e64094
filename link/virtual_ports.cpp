#include "link/virtual_ports.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace gimbal {

namespace {

constexpr const char* kFolderName = "virtual-serial";

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::string userName() {
    std::string buffer(4096, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
    return found->pw_name;
}

bool ownedDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

std::string readLink(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return {};
    target.resize(static_cast<std::size_t>(n));
    return target;
}

// The entry as a port, when it is a link that leads to a character device.
bool describeEntry(const std::string& folder, const std::string& name, VirtualSerialPort& port) {
    port.name = name;
    port.path = folder + "/" + name;
    struct stat st {};
    if (::lstat(port.path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    if (::stat(port.path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    port.target = readLink(port.path);
    port.device = st.st_rdev;
    return !port.target.empty();
}

bool makeFolder(const std::string& path, std::string* error) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
}

}  // namespace

std::string runtimeFolder() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg) return ownedDirectory(xdg) ? std::string(xdg) : std::string();
    std::string temp = envOr("TMPDIR", "/tmp");
    while (temp.size() > 1 && temp.back() == '/') temp.pop_back();
    const std::string fallback = temp + "/runtime-" + userName();
    // Someone else's folder of that name is not ours to use.
    struct stat st {};
    if (::lstat(fallback.c_str(), &st) == 0 && !ownedDirectory(fallback)) return {};
    return fallback;
}

std::string virtualSerialFolder() {
    const std::string runtime = runtimeFolder();
    return runtime.empty() ? std::string() : runtime + "/" + kFolderName;
}

bool isTrustedFolder(const std::string& folder) {
    struct stat st {};
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::vector<VirtualSerialPort> listVirtualSerialPorts(const std::string& folder) {
    std::vector<VirtualSerialPort> ports;
    if (folder.empty() || !isTrustedFolder(folder)) return ports;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return ports;
    while (const dirent* entry = ::readdir(dir.get())) {
        VirtualSerialPort port;
        if (isValidVirtualPortName(entry->d_name) && describeEntry(folder, entry->d_name, port))
            ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return ports;
}

bool isValidVirtualPortName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name.front() != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string placeVirtualSerialLink(const std::string& folder, const std::string& name, const std::string& target,
                                   std::string* error) {
    if (folder.empty()) {
        *error = "no per-user runtime folder (is XDG_RUNTIME_DIR an existing folder of yours?)";
        return {};
    }
    if (!isValidVirtualPortName(name)) {
        *error = "'" + name + "' cannot name a port: use a plain name without '/' that does not start with '.'";
        return {};
    }
    const std::string parent = folder.substr(0, folder.find_last_of('/'));
    if (!parent.empty() && !makeFolder(parent, error)) return {};
    if (!makeFolder(folder, error)) return {};
    if (!isTrustedFolder(folder)) {
        *error = folder + " is not a folder of yours that only you can write to";
        return {};
    }
    const std::string path = folder + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        struct stat led {};
        if (!S_ISLNK(st.st_mode) || (::stat(path.c_str(), &led) == 0 && S_ISCHR(led.st_mode))) {
            *error = path + " is in use";
            return {};
        }
        ::unlink(path.c_str());  // a link left behind by a program that died
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return {};
    }
    return path;
}

void removeVirtualSerialLink(const std::string& path, const std::string& target) {
    if (!path.empty() && readLink(path) == target) ::unlink(path.c_str());
}

}  // namespace gimbal
