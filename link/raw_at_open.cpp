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
    if (retryOnInterrupt([&] { return ::tcsetattr(fd, TCSANOW, &raw); }) != 0) return errno;
    // Bytes from before raw mode were seen by the cooked line discipline (and
    // any echo of them still waits in the output queue): neither is wanted.
    failedCall = "tcflush";
    if (::tcflush(fd, TCIOFLUSH) != 0) return errno;
    return 0;
}

termios attributesToLeaveAtClose(const termios& original) {
    termios left = original;
    left.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE);
    return left;
}

}  // namespace gimbal
