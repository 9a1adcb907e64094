// An owned file descriptor (closed on destruction) and a helper that retries
// a system call interrupted by a signal.
#pragma once

#include <cerrno>
#include <utility>

namespace kiv {

// Repeats `call` while it fails with EINTR; answers its last result.
template <typename Call>
auto retryOnInterrupt(Call&& call)
{
    auto result = call();
    while (result == -1 && errno == EINTR)
        result = call();
    return result;
}

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor; answers close()'s result (0 when none was
    // held). The descriptor is gone afterwards even when close() failed:
    // Linux releases it in every case, so it must never be closed twice.
    int reset(int fd = -1);

private:
    int fd_ = -1;
};

}  // namespace kiv
