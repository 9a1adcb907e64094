// Where the serial tools look for a device's lock file and what it is called,
// shared by the port's exclusive open and by the diagnosis that names who
// holds a port. Standard C++ and POSIX only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace gimbal {

// The device a path leads to, every link followed: its one spelling. The
// path as given when it cannot be followed.
std::string resolvedDevicePath(const std::string& path);

// "LCK..ttyUSB0" for "/dev/ttyUSB0", "LCK..pts_3" for "/dev/pts/3". The path
// is resolved first, so every spelling of one device (a /dev/serial/by-id
// link, a virtual port's link) names the same lock.
std::string lockFileNameFor(const std::string& devicePath);
// The name of the lock another program takes for the path as spelled (Qt
// Serial Port does not resolve it), when that differs from lockFileNameFor.
std::optional<std::string> literalLockFileNameFor(const std::string& devicePath);

// Where lock files are looked for and made, in order of preference.
std::vector<std::string> lockDirectoryCandidates();
// The first candidate that is a writable directory; none if there is none.
std::optional<std::string> lockDirectory();

}  // namespace gimbal
