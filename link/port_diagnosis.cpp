#include "link/port_diagnosis.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "link/lock_claim.h"
#include "link/serial_locks.h"
#include "link/virtual_ports.h"

namespace gimbal {

namespace {

std::string firstLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<long> processIds(const std::string& proc) {
    std::vector<long> pids;
    for (const std::string& name : entriesOf(proc))
        if (name.find_first_not_of("0123456789") == std::string::npos)
            pids.push_back(std::strtol(name.c_str(), nullptr, 10));
    return pids;
}

std::string commandOf(const std::string& proc, long pid) {
    return firstLine(proc + "/" + std::to_string(pid) + "/comm");
}

bool processRunning(const std::string& proc, const std::string& command) {
    for (const long pid : processIds(proc))
        if (commandOf(proc, pid) == command) return true;
    return false;
}

bool alive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// "crw-rw----", as ls shows it.
std::string modeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : "-";
    const std::array<mode_t, 9> bits{S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP, S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
    for (std::size_t i = 0; i < bits.size(); ++i) text += (mode & bits[i]) ? "rwx"[i % 3] : '-';
    return text;
}

std::string groupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g != nullptr ? g->gr_name : std::to_string(gid);
}

bool inProcessGroups(gid_t gid) {
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(n, 0)));
    if (n > 0 && ::getgroups(n, groups.data()) == n)
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    return false;
}

bool inGroupDatabase(const passwd& user, gid_t gid) {
    int n = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (::getgrouplist(user.pw_name, user.pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(user.pw_name, user.pw_gid, groups.data(), &n) < 0) return false;
    }
    groups.resize(static_cast<std::size_t>(n));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// The desktop user's way in without the group: the package's rule tags the
// usual adapters for logind, which grants the active session an ACL.
constexpr char kUaccessFix[] =
    "install the udev rule 60-gimbal-serial.rules (the package does) and plug the adapter in again: it gives "
    "the user logged in at the desktop access to FTDI, CP210x, CH340 and PL2303 adapters";

PortDiagnosis permissionDenied(const std::string& path, const struct stat& info) {
    const std::string group = groupName(info.st_gid);
    const std::string where = path + " (" + modeText(info.st_mode) + ", group " + group + ")";
    const passwd* user = ::getpwuid(::geteuid());
    const std::string userName = user != nullptr ? user->pw_name : std::to_string(::geteuid());
    const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    PortDiagnosis d;
    d.cause = PortCause::PermissionDenied;
    if (!groupMayUse || inProcessGroups(info.st_gid)) {
        d.text = "permission denied: " + where + " does not let user " + userName + " read and write it";
        d.hint = "give the device to a group you are in with mode 0660 (a udev rule), or ask the administrator";
    } else if (user != nullptr && inGroupDatabase(*user, info.st_gid)) {
        d.text = "permission denied: " + where + "; user " + userName + " was added to group " + group +
                 " after this session began";
        d.hint = "log out and back in (or run `newgrp " + group + "` in this terminal)";
    } else {
        d.text = "permission denied: " + where + " and user " + userName + " is not in group " + group;
        d.hint = "sudo usermod -aG " + group + " \"$USER\", then log out and back in; or, at the desktop, " +
                 kUaccessFix;
    }
    return d;
}

// Both spellings: ours resolves the path, Qt Serial Port's does not. Only a
// claim the exclusive open would also respect names a holder.
std::optional<PortHolder> lockFileHolder(const std::string& path) {
    std::vector<std::string> names{lockFileNameFor(path)};
    if (auto literal = literalLockFileNameFor(path)) names.push_back(*literal);
    for (const std::string& dir : lockDirectoryCandidates()) {
        for (const std::string& name : names) {
            const std::string file = dir + "/" + name;
            const LockJudgement judged = judgeLockFile(file);
            if (judged.claim == LockClaim::Unreadable)
                return PortHolder{0, {}, "lock file " + file + ", which this user cannot read"};
            if (judged.claim != LockClaim::Held) continue;
            // A flocked file's PID is the holder's word; shown only while it lives.
            const long pid = judged.content.pid && alive(*judged.content.pid) ? *judged.content.pid : 0;
            return PortHolder{pid, judged.content.program, "lock file " + file};
        }
    }
    return std::nullopt;
}

std::optional<PortHolder> flockHolder(const std::string& path, const SystemPaths& paths) {
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) return std::nullopt;
    std::ifstream in(paths.proc + "/locks");
    for (std::string line; std::getline(in, line);) {
        const auto lock = parseProcLocksLine(line);
        if (lock && lock->major == ::major(node.st_dev) && lock->minor == ::minor(node.st_dev) &&
            lock->inode == node.st_ino && lock->pid != ::getpid())
            return PortHolder{lock->pid, commandOf(paths.proc, lock->pid), "flock"};
    }
    return std::nullopt;
}

std::optional<PortHolder> openHolder(const std::string& path, const SystemPaths& paths) {
    const std::string target = resolvedDevicePath(path);
    for (const long pid : processIds(paths.proc)) {
        if (pid == ::getpid()) continue;
        const std::string fdFolder = paths.proc + "/" + std::to_string(pid) + "/fd";
        for (const std::string& fd : entriesOf(fdFolder)) {
            std::array<char, 4096> link{};
            const ssize_t n = ::readlink((fdFolder + "/" + fd).c_str(), link.data(), link.size() - 1);
            if (n > 0 && std::string(link.data(), static_cast<std::size_t>(n)) == target)
                return PortHolder{pid, commandOf(paths.proc, pid), kOpenDescriptor};
        }
    }
    return std::nullopt;
}

// ModemManager holding a port is probing it with AT commands: the fix is to
// keep it off the adapter, not to close a program the user never started.
void nameModemManager(PortDiagnosis& d, const std::string& path) {
    if (!d.holder || d.holder->program != "ModemManager") return;
    d.text = path + " is in use by ModemManager (PID " + std::to_string(d.holder->pid) + "; " + d.holder->how +
             "), which probes new serial ports with AT commands";
    d.hint =
        "install the udev rule 60-gimbal-serial.rules into /etc/udev/rules.d, run `sudo udevadm control --reload "
        "&& sudo udevadm trigger` and plug the adapter in again; for other adapters `sudo systemctl stop "
        "ModemManager` while flashing";
}

PortDiagnosis busy(const std::string& path, std::optional<PortHolder> holder) {
    PortDiagnosis d;
    d.cause = PortCause::Busy;
    d.holder = std::move(holder);
    if (d.holder) {
        const std::string program = d.holder->program.empty() ? "a program" : d.holder->program;
        if (d.holder->pid > 0) {
            const std::string pid = "PID " + std::to_string(d.holder->pid);
            d.text = path + " is in use by " + program + " (" + pid + "; " + d.holder->how + ")";
            d.hint = "close " + program + " (" + pid + ") and try again";
        } else {
            d.text = path + " is in use by " + program + " (" + d.holder->how + ")";
            d.hint = "close " + program + " and try again";
        }
    } else {
        d.text = path + " is in use by another program";
        d.hint = "close the program that uses it (a terminal program, another upgrader) and try again";
    }
    nameModemManager(d, path);
    return d;
}

// Serial ports there are now, for a user whose port has gone.
std::vector<std::string> presentPorts(const SystemPaths& paths) {
    std::vector<std::string> ports;
    for (const std::string& name : entriesOf(paths.serialById)) ports.push_back(paths.serialById + "/" + name);
    if (ports.empty())
        for (const std::string& name : entriesOf("/dev"))
            if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) ports.push_back("/dev/" + name);
    for (const auto& port : listVirtualSerialPorts(virtualSerialFolder())) ports.push_back(port.path);
    return ports;
}

PortDiagnosis gone(const std::string& path, const SystemPaths& paths) {
    if (auto brltty = brlttyTookAnAdapter(paths)) return *brltty;
    PortDiagnosis d;
    d.cause = PortCause::Gone;
    d.text = path + " does not exist (unplugged?)";
    const auto ports = presentPorts(paths);
    if (ports.empty()) {
        d.hint = "no serial port is present now: plug the adapter in";
    } else {
        d.hint = "serial ports present now:";
        for (const auto& port : ports) d.hint += " " + port;
    }
    return d;
}

// The path cannot be followed: gone only when nothing is there; a loop of
// links (or a folder in the way) is a wrong path, not an unplugged adapter.
PortDiagnosis unreachable(const std::string& path, int error, const SystemPaths& paths) {
    if (error == ENOENT || error == ENODEV || error == ENXIO) return gone(path, paths);
    PortDiagnosis d;
    d.cause = PortCause::Other;
    d.text = path + ": " + std::strerror(error);
    if (error == ELOOP) d.hint = "the path is a loop of symbolic links; give the device itself (/dev/ttyUSB0, say)";
    return d;
}

bool isCh34x(const std::string& device) {
    const std::string product = firstLine(device + "/idProduct");
    return firstLine(device + "/idVendor") == "1a86" && (product == "7523" || product == "5523" || product == "7522");
}

// A USB device's serial ports live under its interfaces ("1-1:1.0/ttyUSB0").
bool hasSerialPort(const std::string& devices, const std::string& device) {
    for (const std::string& entry : entriesOf(devices)) {
        if (entry.rfind(device + ":", 0) != 0) continue;
        for (const std::string& inner : entriesOf(devices + "/" + entry))
            if (inner.rfind("ttyUSB", 0) == 0) return true;
    }
    return false;
}

}  // namespace

const char* causeName(PortCause cause) {
    switch (cause) {
        case PortCause::Usable:
            return "usable";
        case PortCause::PermissionDenied:
            return "permission";
        case PortCause::Busy:
            return "busy";
        case PortCause::Gone:
            return "gone";
        case PortCause::Other:
            return "other";
    }
    return "other";
}

// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; waiters ("1: -> FLOCK ...")
// hold nothing and do not parse.
std::optional<ProcLock> parseProcLocksLine(const std::string& line) {
    std::istringstream fields(line);
    std::string id, kind, advisory, access, device;
    long pid = 0;
    if (!(fields >> id >> kind) || kind != "FLOCK" || !(fields >> advisory >> access >> pid >> device)) return {};
    ProcLock lock;
    char colon1 = 0, colon2 = 0;
    std::istringstream numbers(device);
    if (!(numbers >> std::hex >> lock.major >> colon1 >> lock.minor >> colon2 >> std::dec >> lock.inode) ||
        colon1 != ':' || colon2 != ':' || pid < 1 || pid > maxProcessId())
        return {};
    lock.pid = pid;
    return lock;
}

std::optional<PortHolder> findPortHolder(const std::string& path, const SystemPaths& paths) {
    if (auto holder = lockFileHolder(path)) return holder;
    if (auto holder = flockHolder(path, paths)) return holder;
    return openHolder(path, paths);
}

PortDiagnosis diagnoseOpenFailure(const std::string& path, int error, const SystemPaths& paths) {
    struct stat info {};
    switch (error) {
        case EACCES:
        case EPERM:
            if (::stat(path.c_str(), &info) != 0) return unreachable(path, errno, paths);
            return permissionDenied(path, info);
        case EBUSY:
        case EWOULDBLOCK:
            return busy(path, findPortHolder(path, paths));
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return gone(path, paths);
        case ELOOP:
            return unreachable(path, error, paths);
        default: {
            PortDiagnosis d;
            d.cause = PortCause::Other;
            d.text = path + ": " + std::strerror(error);
            return d;
        }
    }
}

PortDiagnosis diagnosePort(const std::string& path, const SystemPaths& paths) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return unreachable(path, errno, paths);
    if (::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
        return permissionDenied(path, info);
    auto holder = findPortHolder(path, paths);
    if (!holder) return {};
    if (holder->how != kOpenDescriptor) return busy(path, std::move(holder));
    // Merely open elsewhere, without a lock or flock: a pty's provider keeps
    // its slave open, and opening still works. (An exclusive flag would show
    // only to an open, which this look never does.)
    PortDiagnosis d;
    d.text = path + " is open in " + (holder->program.empty() ? "a program" : holder->program) + " (PID " +
             std::to_string(holder->pid) + "), which has not locked it";
    d.holder = std::move(holder);
    return d;
}

// The process table is read last: it is the dearest look, and a bench opens
// many ports at once.
std::optional<PortDiagnosis> brlttyTookAnAdapter(const SystemPaths& paths) {
    const std::string devices = paths.sys + "/bus/usb/devices";
    for (const std::string& device : entriesOf(devices)) {
        if (device.find(':') != std::string::npos || !isCh34x(devices + "/" + device)) continue;
        if (hasSerialPort(devices, device) || !processRunning(paths.proc, "brltty")) continue;
        PortDiagnosis d;
        d.cause = PortCause::Gone;
        d.text =
            "brltty (a Braille display service) is running and has taken the CH340/CH341 adapter, "
            "which therefore has no serial port";
        d.hint =
            "sudo systemctl mask --now brltty-udev.service brltty.service (or sudo apt remove brltty), "
            "then plug the adapter in again";
        return d;
    }
    return std::nullopt;
}

bool brlttyInstalled(const std::vector<std::string>& programs) {
    return std::any_of(programs.begin(), programs.end(),
                       [](const std::string& program) { return ::access(program.c_str(), F_OK) == 0; });
}

std::string brlttyFlapText(const std::string& path) {
    return path +
           " appeared and vanished within 2 s, and brltty (a Braille display service) is installed: it takes "
           "CH340/CH341 adapters as they are plugged in. Fix: sudo systemctl mask --now brltty-udev.service "
           "brltty.service (or sudo apt remove brltty), then plug the adapter in again";
}

std::vector<std::string> portWarnings(const std::string& path, const SystemPaths& paths) {
    std::vector<std::string> warnings;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        // Only devices udev manages have a record; ModemManager leaves the rest alone.
        const std::string record =
            paths.udevData + "/c" + std::to_string(::major(info.st_rdev)) + ":" + std::to_string(::minor(info.st_rdev));
        std::ifstream in(record);
        bool ignored = false;
        for (std::string line; std::getline(in, line);) ignored = ignored || line == "E:ID_MM_DEVICE_IGNORE=1";
        if (in.is_open() && !ignored && processRunning(paths.proc, "ModemManager"))
            warnings.push_back("ModemManager is running and may probe " + path +
                               " with AT commands during the upgrade; install the udev rule "
                               "60-gimbal-serial.rules into /etc/udev/rules.d and run "
                               "`sudo udevadm control --reload && sudo udevadm trigger`");
    }
    if (auto brltty = brlttyTookAnAdapter(paths)) warnings.push_back(brltty->text + "; " + brltty->hint);
    return warnings;
}

}  // namespace gimbal
