// Reading a device lock file. The lock folders are writable by every local
// user, so what sits at a lock path may be anything: it is opened without
// blocking (a FIFO) and without following a link, only a regular file counts,
// at most a small bound is read, and its PID is believed only inside
// 1..pid_max. Standard C++ and POSIX only.
#pragma once

#include <optional>
#include <string>

#include "link/unique_fd.h"

namespace gimbal {

// A descriptor of the regular file at `path`, opened read-only. Invalid with
// errno set when it cannot be opened: ENOENT, EACCES, ELOOP for a symbolic
// link, EINVAL for anything that is not a regular file.
UniqueFd openLockFile(const std::string& path);

// What the lock file says, from its first 512 bytes.
struct LockFileContent {
    std::optional<long> pid;  // none unless the first line is a PID in 1..pid_max
    std::string program;      // the second line as written (else the first line's second word): untrusted text
};
LockFileContent readLockFile(int fd);
LockFileContent parseLockFileText(const std::string& text);

// The largest PID the kernel hands out (/proc/sys/kernel/pid_max).
long maxProcessId();

}  // namespace gimbal
