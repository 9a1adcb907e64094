#include "sim/simulator_link.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "link/virtual_ports.h"

namespace sim {
namespace {

// Unix98 pseudo-terminal slaves: majors 136 to 143, 256 numbers each.
constexpr unsigned kPtySlaveFirstMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir.get()))
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    return names;
}

std::string readLink(const std::string& path) {
    std::array<char, 4096> target{};
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size() - 1);
    return n > 0 ? std::string(target.data(), static_cast<std::size_t>(n)) : std::string();
}

bool isPtyMaster(const std::string& fdTarget) {
    return fdTarget == "/dev/ptmx" || fdTarget == "/dev/pts/ptmx";
}

// The terminal number a master descriptor serves ("tty-index:" in fdinfo).
std::optional<long> ttyIndexOf(const std::string& fdinfo) {
    std::ifstream in(fdinfo);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("tty-index:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10);
    return std::nullopt;
}

std::optional<TerminalProvider> masterHolder(long index, const std::string& proc) {
    for (const std::string& name : entriesOf(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(name.c_str(), &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid()) continue;
        const std::string base = proc + "/" + name;
        for (const std::string& fd : entriesOf(base + "/fd")) {
            if (!isPtyMaster(readLink(base + "/fd/" + fd))) continue;
            if (ttyIndexOf(base + "/fdinfo/" + fd) != index) continue;
            std::string program;
            std::getline(std::ifstream(base + "/comm"), program);
            return TerminalProvider{pid, program};
        }
    }
    return std::nullopt;
}

bool newer(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

std::string quoted(const std::string& path) {
    std::string out = "'";
    for (const char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::optional<TerminalProvider> terminalProviderOf(const std::string& path, const std::string& proc) {
    struct stat link {
    }, terminal{};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return std::nullopt;
    if (::stat(path.c_str(), &terminal) != 0 || !S_ISCHR(terminal.st_mode)) return std::nullopt;
    const unsigned major = ::major(terminal.st_rdev);
    if (major < kPtySlaveFirstMajor || major >= kPtySlaveFirstMajor + kPtySlaveMajors)
        return TerminalProvider{};  // a real device: someone's, whoever it is
    // A terminal made after the link took a number its first owner gave back.
    if (newer(terminal.st_ctim, link.st_mtim)) return std::nullopt;
    const long index = static_cast<long>((major - kPtySlaveFirstMajor) * 256 + ::minor(terminal.st_rdev));
    return masterHolder(index, proc);
}

std::string placeSimulatorLink(const std::string& folder, const std::string& name, const std::string& terminal,
                               std::string* error) {
    const std::string path = folder + "/" + name;
    struct stat entry {};
    if (!folder.empty() && gimbal::isValidVirtualPortName(name) && ::lstat(path.c_str(), &entry) == 0) {
        const std::string removal = "; if that is wrong, remove it: rm " + quoted(path);
        if (!S_ISLNK(entry.st_mode)) {
            *error = path + " is in use: it is not a link" + removal;
            return {};
        }
        if (const auto provider = terminalProviderOf(path)) {
            std::string why = path + " is in use: it leads to " + readLink(path);
            if (provider->pid > 0)
                why += ", the terminal of " + provider->program + " (pid " + std::to_string(provider->pid) + ")";
            *error = why + ". Choose another name or stop the program that uses it" + removal;
            return {};
        }
        ::unlink(path.c_str());  // left by a program that died
    }
    return gimbal::placeVirtualSerialLink(folder, name, terminal, error);
}

}  // namespace sim
