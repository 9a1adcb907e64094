#include "link/low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "link/posix_io.h"

namespace gimbal {

std::optional<int> lowLatencyFlags(int flags) {
    if ((flags & ASYNC_LOW_LATENCY) != 0) return std::nullopt;
    return flags | ASYNC_LOW_LATENCY;
}

std::optional<int> lowLatencyClearedFlags(int flags) {
    if ((flags & ASYNC_LOW_LATENCY) == 0) return std::nullopt;
    return flags & ~ASYNC_LOW_LATENCY;
}

LowLatency requestLowLatency(int fd) {
    const int savedErrno = errno;
    LowLatency result = LowLatency::Refused;
    serial_struct serial{};
    if (retryOnInterrupt([&] { return ::ioctl(fd, TIOCGSERIAL, &serial); }) == 0) {
        const std::optional<int> flags = lowLatencyFlags(serial.flags);
        if (!flags) {
            result = LowLatency::AlreadyOn;
        } else {
            serial.flags = *flags;
            if (retryOnInterrupt([&] { return ::ioctl(fd, TIOCSSERIAL, &serial); }) == 0)
                result = LowLatency::SwitchedOn;
        }
    }
    errno = savedErrno;
    return result;
}

void restoreLowLatency(int fd, LowLatency atOpen) {
    if (atOpen != LowLatency::SwitchedOn) return;
    const int savedErrno = errno;
    serial_struct serial{};
    if (retryOnInterrupt([&] { return ::ioctl(fd, TIOCGSERIAL, &serial); }) == 0) {
        if (const std::optional<int> flags = lowLatencyClearedFlags(serial.flags)) {
            serial.flags = *flags;
            retryOnInterrupt([&] { return ::ioctl(fd, TIOCSSERIAL, &serial); });
        }
    }
    errno = savedErrno;
}

}  // namespace gimbal
