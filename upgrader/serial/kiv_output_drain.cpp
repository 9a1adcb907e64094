#include "upgrader/serial/kiv_output_drain.h"

#include <sys/ioctl.h>

#include <mutex>

namespace serial {

namespace {

std::mutex probeMutex;
std::function<long(int)>& probe() {
    static std::function<long(int)> p;
    return p;
}

}  // namespace

unsigned bitsPerCharacter(const termios& attributes) {
    unsigned data = 8;
    switch (attributes.c_cflag & CSIZE) {
        case CS5:
            data = 5;
            break;
        case CS6:
            data = 6;
            break;
        case CS7:
            data = 7;
            break;
        default:
            break;
    }
    return 1 + data + ((attributes.c_cflag & PARENB) != 0 ? 1 : 0) + ((attributes.c_cflag & CSTOPB) != 0 ? 2 : 1);
}

std::chrono::milliseconds drainAllowance(long queuedBytes, unsigned bitsPerCharacter, std::uint32_t baudRate) {
    const std::uint64_t rate = baudRate != 0 ? baudRate : 9600;
    const std::uint64_t bytes = queuedBytes > 0 ? static_cast<std::uint64_t>(queuedBytes) : 0;
    // Rounded up, so that the last character's time is never cut short.
    const std::uint64_t wireMs = (bytes * bitsPerCharacter * 1000 + rate - 1) / rate;
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(wireMs)) + kDrainMargin;
}

long queuedOutputBytes(int fd) {
    {
        std::lock_guard lock(probeMutex);
        if (probe()) return probe()(fd);
    }
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return queued;
}

void setQueuedOutputProbeForTesting(std::function<long(int fd)> replacement) {
    std::lock_guard lock(probeMutex);
    probe() = std::move(replacement);
}

}  // namespace serial
