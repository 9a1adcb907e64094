#include "low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace trisk {

namespace {

template <typename Call>
int retryOnInterrupt(Call&& call) {
    int result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

}  // namespace

std::optional<int> lowLatencyFlags(int flags) {
    if ((flags & ASYNC_LOW_LATENCY) != 0) return std::nullopt;
    return flags | ASYNC_LOW_LATENCY;
}

bool requestLowLatency(int fd) {
    const int savedErrno = errno;
    bool on = false;
    serial_struct serial{};
    if (retryOnInterrupt([&] { return ::ioctl(fd, TIOCGSERIAL, &serial); }) == 0) {
        const std::optional<int> flags = lowLatencyFlags(serial.flags);
        if (!flags) {
            on = true;
        } else {
            serial.flags = *flags;
            on = retryOnInterrupt([&] { return ::ioctl(fd, TIOCSSERIAL, &serial); }) == 0;
        }
    }
    errno = savedErrno;
    return on;
}

}  // namespace trisk
