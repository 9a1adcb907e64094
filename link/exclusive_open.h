// Exclusive open of a serial device node, shared by the upgrader's port and
// the three-axis updater. Linux has no open-time exclusive lock, and
// TIOCEXCL does not stop root, so exclusivity is three locks:
//  - the lock file LCK..<name> that Qt Serial Port programs (and other
//    instances of ours) take and honour, in the first usable lock directory;
//    what is found there is judged by link/lock_claim.h, and a claim that
//    does not stand is replaced;
//  - flock on the device descriptor itself;
//  - TIOCEXCL, which keeps out other non-root openers.
// All three are released when the ExclusiveDevice is closed or destroyed.
// Standard C++ and POSIX only.
#pragma once

#include <termios.h>

#include <string>
#include <utility>

#include "link/serial_locks.h"
#include "link/unique_fd.h"

namespace gimbal {

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
    // path that is no lock (a link, a FIFO, a directory), that this user may
    // not remove (another user's, in a sticky folder; a directory): the
    // device's flock and exclusive flag still guard the open;
    // staleFileKept() names the file.
    static constexpr int kStaleButKept = -1;

    // Takes the lock for `devicePath` in `directory`. Answers 0, EBUSY when
    // the claim found there stands, kStaleButKept, or another errno.
    int acquire(const std::string& directory, const std::string& devicePath);
    void release();
    // The claim of this lock file stands (link/lock_claim.h).
    static bool heldElsewhere(const std::string& file);
    bool held() const { return fd_.valid(); }
    const std::string& file() const { return file_; }
    const std::string& staleFileKept() const { return keptStaleFile_; }

private:
    UniqueFd fd_;
    std::string file_;
    std::string keptStaleFile_;
};

class ExclusiveDevice {
public:
    ExclusiveDevice() = default;
    ~ExclusiveDevice() { close(); }
    ExclusiveDevice(const ExclusiveDevice&) = delete;
    ExclusiveDevice& operator=(const ExclusiveDevice&) = delete;

    // Read-write, no controlling terminal, non-blocking, close-on-exec,
    // locked as above, then in raw mode with both queues flushed
    // (link/raw_at_open.h). Nothing about the line changes before every lock
    // says the device is ours: a holder's queued input and settings stay as
    // they were. Answers 0, or an errno with `failedCall` naming the call
    // that failed; nothing stays open or locked then, and the line keeps the
    // attributes it had.
    int open(const std::string& path, const char*& failedCall);
    // The attributes the line had before the open switched it to raw.
    const termios& originalAttributes() const { return originalAttributes_; }
    // What sat at the lock path, was no standing claim and could not be
    // removed, after an open that went ahead without a lock file; else empty.
    const std::string& keptLockFile() const { return keptLockFile_; }
    int fd() const { return fd_.get(); }
    bool isOpen() const { return fd_.valid(); }
    // Drops the locks and closes the descriptor; answers close()'s result.
    int close();

private:
    static int lockDevice(int fd, const char*& failedCall);

    UniqueFd fd_;
    DeviceLockFile lock_;
    termios originalAttributes_{};
    std::string keptLockFile_;
};

// One line for a kept lock path: what it is, that the open goes ahead under
// its own locks, and how to remove it.
std::string keptLockFileText(const std::string& file, const std::string& devicePath);

}  // namespace gimbal
