// The per-user folder of virtual serial ports: symbolic links to
// pseudo-terminal slaves, each named as its port is to be shown. Both tools
// list them next to real devices; gimbal-sim (or socat, or a network serial
// bridge) places a link there. Standard C++ and POSIX only.
#pragma once

#include <string>
#include <vector>

namespace gimbal {

struct VirtualSerialPort {
    std::string name;               // the entry's name, as shown to the user
    std::string path;               // the entry's full path: what is opened
    std::string target;             // where the link leads now ("/dev/pts/3")
    unsigned long long device = 0;  // the target's device number

    bool operator==(const VirtualSerialPort&) const = default;
};

// The per-user runtime folder as Qt finds it: $XDG_RUNTIME_DIR when set, else
// <temp>/runtime-<user> (<temp> = $TMPDIR or /tmp). Empty when it is set but
// not an existing folder owned by us.
std::string runtimeFolder();
// <runtime>/virtual-serial; empty when there is no runtime folder.
std::string virtualSerialFolder();

// A folder we may take ports from: an existing folder (not a link to one)
// owned by us and writable by nobody else.
bool isTrustedFolder(const std::string& folder);

// The entries of `folder` that are symbolic links leading to a character
// device, sorted by name; hidden entries (".name") are skipped. None when the
// folder is missing or not trusted.
std::vector<VirtualSerialPort> listVirtualSerialPorts(const std::string& folder);

// A name that can stand as an entry: not empty, no '/', not hidden, at most
// 255 bytes.
bool isValidVirtualPortName(const std::string& name);

// Places a link `name` -> `target` in `folder`, creating the folder (0700)
// and a missing runtime folder above it. An entry of that name that still
// leads to a character device is in use and refused; a stale one is replaced.
// Answers the link's full path, or empty with the reason in *error.
std::string placeVirtualSerialLink(const std::string& folder, const std::string& name, const std::string& target,
                                   std::string* error);
// Removes the link at `path` if it still leads to `target`.
void removeVirtualSerialLink(const std::string& path, const std::string& target);

}  // namespace gimbal
