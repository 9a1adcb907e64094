// The lock file half of an exclusive open (see link/exclusive_open.h).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <string>

#include "link/exclusive_open.h"
#include "link/lock_claim.h"
#include "link/posix_io.h"

namespace gimbal {

namespace {

std::string lockContent() {
    std::array<char, 256> host{};
    ::gethostname(host.data(), host.size() - 1);
    return std::to_string(::getpid()) + "\n" + executableName(::getpid()) + "\n" + host.data() + "\n";
}

bool sameFile(int fd, const std::string& path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

// Answers 0 when what was at the lock path is gone, kStaleButKept when this
// user may not remove it (another user's file in a sticky folder, or a
// directory), another errno on failure.
int removeNamed(const std::string& file) {
    if (::unlink(file.c_str()) == 0 || errno == ENOENT) return 0;
    return errno == EACCES || errno == EPERM || errno == EISDIR ? DeviceLockFile::kStaleButKept : errno;
}

// Answers 0 when the existing lock file was stale and is gone, EBUSY when its
// claim stands, kStaleButKept when it is stale but not ours to remove, another
// errno on failure.
int removeIfStale(const std::string& file) {
    const LockJudgement judged = judgeLockFile(file);
    switch (judged.claim) {
        case LockClaim::Absent:
            return 0;
        case LockClaim::NotALock:
            return removeNamed(file);
        case LockClaim::Held:
        case LockClaim::Unreadable:
            return EBUSY;
        case LockClaim::Failed:
            return judged.error;
        case LockClaim::Stale:
            // Removed while flocked, and only if it is still the file judged.
            return sameFile(judged.fd.get(), file) ? removeNamed(file) : 0;
    }
    return EBUSY;
}

// Makes the lock file complete (content written, flock held) under a private
// name, then links it into place, so nobody ever sees it half made.
int createLocked(const std::string& file, UniqueFd& out) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary = file + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    UniqueFd fd(retryOnInterrupt(
        [&] { return ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644); }));
    if (!fd.valid()) return errno;
    int error = 0;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        error = errno;
    else if (const gimbal::WriteResult wrote = gimbal::writeAll(fd.get(), lockContent()); wrote.error != 0)
        error = wrote.error;
    else if (::link(temporary.c_str(), file.c_str()) != 0)
        error = errno;
    ::unlink(temporary.c_str());
    if (error == 0) out = std::move(fd);
    return error;
}

}  // namespace

bool DeviceLockFile::heldElsewhere(const std::string& file) {
    return claimStands(judgeLockFile(file).claim);
}

int DeviceLockFile::acquire(const std::string& directory, const std::string& devicePath) {
    release();
    keptStaleFile_.clear();
    const std::string file = directory + "/" + lockFileNameFor(devicePath);
    // A few rounds: a stale file may be replaced by another process meanwhile.
    for (int attempt = 0; attempt < 4; ++attempt) {
        UniqueFd fd;
        const int error = createLocked(file, fd);
        if (error == 0) {
            fd_ = std::move(fd);
            file_ = file;
            // A program that does not resolve links locks the path as spelled.
            const auto literal = gimbal::literalLockFileNameFor(devicePath);
            if (literal && heldElsewhere(directory + "/" + *literal)) {
                release();
                return EBUSY;
            }
            return 0;
        }
        if (error != EEXIST) return error;
        if (const int stale = removeIfStale(file); stale != 0) {
            if (stale == kStaleButKept) keptStaleFile_ = file;
            return stale;
        }
    }
    return EBUSY;
}

void DeviceLockFile::release() {
    if (!fd_.valid()) return;
    // Unlinked while still flocked, and only if it is still ours.
    if (sameFile(fd_.get(), file_)) ::unlink(file_.c_str());
    fd_.reset();
    file_.clear();
}

}  // namespace gimbal
