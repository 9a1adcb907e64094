#include "link/arbitrary_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "link/posix_io.h"

namespace gimbal {

int setArbitrarySpeed(int fd, std::uint32_t rate) {
    struct termios2 attributes {};
    if (retryOnInterrupt([&] { return ::ioctl(fd, TCGETS2, &attributes); }) != 0) return -1;
    attributes.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    attributes.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    attributes.c_ispeed = rate;
    attributes.c_ospeed = rate;
    if (retryOnInterrupt([&] { return ::ioctl(fd, TCSETS2, &attributes); }) != 0) return -1;
    // Drivers may round to what their hardware can do; only the exact rate counts.
    const auto kept = currentSpeed(fd);
    if (!kept) return -1;
    if (*kept != rate) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

std::optional<std::uint32_t> currentSpeed(int fd) {
    struct termios2 attributes {};
    if (retryOnInterrupt([&] { return ::ioctl(fd, TCGETS2, &attributes); }) != 0) return std::nullopt;
    return attributes.c_ospeed;
}

}  // namespace gimbal
