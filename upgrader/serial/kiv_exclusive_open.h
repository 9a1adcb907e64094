// Exclusive open of a serial device node. Linux has no open-time exclusive
// lock, and TIOCEXCL does not stop root, so exclusivity is three locks:
//  - the lock file LCK..<name> that Qt Serial Port programs (and other
//    instances of ours) take and honour, in the first usable lock directory;
//    its holder keeps it under flock, a file with no flock and a dead (or
//    different) program behind its PID is stale and is replaced;
//  - flock on the device descriptor itself;
//  - TIOCEXCL, which keeps out other non-root openers.
// All three are released when the ExclusiveDevice is closed or destroyed.
#pragma once

#include <termios.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/serial_locks.h"
#include "link/unique_fd.h"

namespace serial {

using gimbal::lockDirectory;
using gimbal::lockDirectoryCandidates;
using gimbal::lockFileNameFor;

class DeviceLockFile {
public:
    DeviceLockFile() = default;
    ~DeviceLockFile() { release(); }
    DeviceLockFile(DeviceLockFile&& other) noexcept
        : fd_(std::move(other.fd_)), file_(std::exchange(other.file_, {})) {}
    DeviceLockFile& operator=(DeviceLockFile&& other) noexcept {
        if (this != &other) {
            release();
            fd_ = std::move(other.fd_);
            file_ = std::exchange(other.file_, {});
        }
        return *this;
    }

    // Answered by acquire() for a stale file, or for something at the lock
    // path that is no lock (a link, a FIFO), that this user may not remove
    // (another user's, in a sticky folder): the device's flock and exclusive
    // flag still guard the open; staleFileKept() names the file.
    static constexpr int kStaleButKept = -1;

    // Takes the lock for `devicePath` in `directory`. Answers 0, EBUSY when a
    // live process holds it, kStaleButKept, or another errno.
    int acquire(const std::string& directory, const std::string& devicePath);
    void release();
    // A live process holds this lock file (its flock, or a living PID in it).
    static bool heldElsewhere(const std::string& file);
    bool held() const { return fd_.valid(); }
    const std::string& file() const { return file_; }
    const std::string& staleFileKept() const { return keptStaleFile_; }

private:
    gimbal::UniqueFd fd_;
    std::string file_;
    std::string keptStaleFile_;
};

class ExclusiveDevice {
public:
    ExclusiveDevice() = default;
    ~ExclusiveDevice() { close(); }
    ExclusiveDevice(const ExclusiveDevice&) = delete;
    ExclusiveDevice& operator=(const ExclusiveDevice&) = delete;

    // Read-write, no controlling terminal, non-blocking, close-on-exec, in
    // raw mode with both queues flushed before anything else (link/raw_at_open.h),
    // and locked as above. Answers 0, or an errno with `failedCall` naming the
    // call that failed; nothing stays open or locked then, and the line keeps
    // the attributes it had.
    int open(const std::string& path, const char*& failedCall);
    // The attributes the line had before the open switched it to raw.
    const termios& originalAttributes() const { return originalAttributes_; }
    int fd() const { return fd_.get(); }
    bool isOpen() const { return fd_.valid(); }
    // Drops the locks and closes the descriptor; answers close()'s result.
    int close();

private:
    static int lockDevice(int fd, const char*& failedCall);

    gimbal::UniqueFd fd_;
    DeviceLockFile lock_;
    termios originalAttributes_{};
};

}  // namespace serial
