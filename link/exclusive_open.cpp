#include "link/exclusive_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/lock_claim.h"
#include "link/posix_io.h"
#include "link/raw_at_open.h"

namespace gimbal {

int ExclusiveDevice::open(const std::string& path, const char*& failedCall) {
    close();
    keptLockFile_.clear();
    DeviceLockFile lock;
    if (const auto dir = lockDirectory()) {
        failedCall = "lock";
        const int error = lock.acquire(*dir, path);
        if (error == DeviceLockFile::kStaleButKept)
            keptLockFile_ = lock.staleFileKept();
        else if (error != 0)
            return error;
    }
    failedCall = "open";
    UniqueFd fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd.valid()) return errno;
    // A port treats descriptor 0 as "closed"; never hold the device on it.
    if (fd.get() == 0) {
        fd = UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 1));
        if (!fd.valid()) return errno;
    }
    // The locks first: a refused open leaves a holder's line (its unread
    // input, its settings) exactly as it was.
    if (const int error = lockDevice(fd.get(), failedCall); error != 0) return error;
    if (const int error = makeRawAtOpen(fd.get(), originalAttributes_, failedCall); error != 0) {
        ::ioctl(fd.get(), TIOCNXCL);
        return error;
    }
    fd_ = std::move(fd);
    lock_ = std::move(lock);
    return 0;
}

int ExclusiveDevice::lockDevice(int fd, const char*& failedCall) {
    failedCall = "flock";
    if (retryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;
    failedCall = "ioctl(TIOCEXCL)";
    if (::ioctl(fd, TIOCEXCL) != 0) return errno;
    return 0;
}

int ExclusiveDevice::close() {
    if (!fd_.valid()) return 0;
    // The exclusive flag outlives this descriptor on a tty another side keeps
    // open (a pty slave while its master lives), so clear it before closing.
    ::ioctl(fd_.get(), TIOCNXCL);
    const int result = fd_.reset();
    lock_.release();
    return result;
}

std::string keptLockFileText(const std::string& file, const std::string& devicePath) {
    const std::string what = whatIsAt(file);
    const std::string is =
        what == "a file" ? " is another user's stale lock" : " is not a lock file at all but " + what + ",";
    return file + is + " and cannot be removed here; opening " + devicePath +
           " under its own locks only (remove it with: " + removalCommand(file) + ")";
}

}  // namespace gimbal
