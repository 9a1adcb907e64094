#include "link/raw_at_open.h"

#include <cerrno>

#include "link/posix_io.h"

namespace gimbal {

int makeRawAtOpen(int fd, termios& original, const char*& failedCall) {
    failedCall = "tcgetattr";
    if (::tcgetattr(fd, &original) != 0) return errno;
    termios raw = original;
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    failedCall = "tcsetattr";
    int result = retryOnInterrupt([&] { return ::tcsetattr(fd, TCSANOW, &raw); });
    // Bytes from before raw mode were seen by the cooked line discipline (and
    // any echo of them still waits in the output queue): neither is wanted.
    if (result == 0) {
        failedCall = "tcflush";
        result = ::tcflush(fd, TCIOFLUSH);
    }
    if (result == 0) return 0;
    // A failed open leaves the line as it found it, never half raw.
    const int error = errno;
    retryOnInterrupt([&] { return ::tcsetattr(fd, TCSANOW, &original); });
    return error;
}

termios attributesToLeaveAtClose(const termios& original) {
    termios left = original;
    left.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE);
    return left;
}

}  // namespace gimbal
