// Why a serial port cannot be used, and the exact fix: no permission (and
// whether logging in again is enough), held by another program (named by PID,
// from a lock file, an flock or an open descriptor), gone (with what is there
// instead), a CH340 adapter taken by brltty, ModemManager probing the port.
// Shared by both tools and quenlo-flash. Reads the device's owner and mode,
// the group database, lock files, /proc and /sys; never opens the device
// (opening raises DTR on real adapters). Standard C++ and POSIX only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace gimbal {

enum class PortCause {
    Usable,            // nothing found against opening it
    PermissionDenied,  // the device's group or mode keeps this user out
    Busy,              // another program holds it
    Gone,              // no such device now
    Other,             // another failure; the text is the system's
};
// "usable", "permission", "busy", "gone", "other": stable names for scripts.
const char* causeName(PortCause cause);

struct PortHolder {
    long pid = 0;
    std::string program;  // its command name, or what its lock file says
    std::string how;      // "lock file /run/lock/LCK..ttyUSB0", "flock", kOpenDescriptor
};
inline constexpr const char* kOpenDescriptor = "open descriptor";

struct PortDiagnosis {
    PortCause cause = PortCause::Usable;
    // What is wrong, naming the port; for a usable port, who has it open
    // without locking it (none of which stops an open), or empty.
    std::string text;
    std::string hint;  // the fix, as a user types it; may be empty
    std::optional<PortHolder> holder;
};

// Where the facts are read; tests point these at folders of their own.
struct SystemPaths {
    std::string proc = "/proc";
    std::string sys = "/sys";
    std::string udevData = "/run/udev/data";
    std::string serialById = "/dev/serial/by-id";
    std::string serialByPath = "/dev/serial/by-path";  // the adapters' physical sockets
};

// Why opening `path` failed with `error` (an errno value).
PortDiagnosis diagnoseOpenFailure(const std::string& path, int error, const SystemPaths& paths = {});

// What opening `path` would meet, found without opening it. A process that
// only has it open (no lock file, no flock) leaves it usable, named in `text`.
PortDiagnosis diagnosePort(const std::string& path, const SystemPaths& paths = {});

// Who else holds the device, if anyone we can see: a live lock file's owner,
// an flock on the node (/proc/locks), an open descriptor (/proc/<pid>/fd, for
// the processes we may read). This process is never named.
std::optional<PortHolder> findPortHolder(const std::string& path, const SystemPaths& paths = {});

// One flock of /proc/locks, for the node (device numbers, inode) it locks.
struct ProcLock {
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    long pid = 0;
};
std::optional<ProcLock> parseProcLocksLine(const std::string& line);

// Warnings worth one line each, none fatal: ModemManager running while the
// device is not marked for it to ignore; brltty running while a CH340/CH341
// adapter has no serial port.
std::vector<std::string> portWarnings(const std::string& path, const SystemPaths& paths = {});

// brltty is installed: one of `programs` exists.
bool brlttyInstalled(const std::vector<std::string>& programs = {"/usr/bin/brltty", "/bin/brltty",
                                                                 "/usr/sbin/brltty", "/sbin/brltty"});
// The line for a port that appeared and vanished within two seconds while
// brltty is installed (brltty claims such adapters as they appear).
std::string brlttyFlapText(const std::string& path);

// A CH340/CH341 adapter is plugged in but has no serial port while brltty
// runs: brltty has taken it. None when that is not the case.
std::optional<PortDiagnosis> brlttyTookAnAdapter(const SystemPaths& paths = {});

}  // namespace gimbal
