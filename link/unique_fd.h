// Owning holder of a POSIX file descriptor: closes it exactly once.
#pragma once

#include <utility>

namespace gimbal {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership without closing (for a close whose result matters).
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor and takes `fd`; answers close()'s result (0
    // when none was held). The old descriptor is gone even when close()
    // failed: Linux releases it in every case, so it is never closed twice.
    int reset(int fd = -1);

private:
    int fd_ = -1;
};

}  // namespace gimbal
