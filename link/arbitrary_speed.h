// Line speed at any rate, through the kernel's termios2 interface (BOTHER).
// The C library's speed table lacks rates such as 14400 and 28800, and the
// kernel's termios headers clash with the C library's, so this lives in a
// file of its own and its interface uses no termios type.
#pragma once

#include <cstdint>
#include <optional>

namespace gimbal {

// Asks the driver for exactly `rate` bit/s in both directions and reads the
// result back. Answers 0, or -1 with errno set (EINVAL when the driver kept
// another rate).
int setArbitrarySpeed(int fd, std::uint32_t rate);

// The output speed the driver holds now, in bit/s; none on failure (errno set).
std::optional<std::uint32_t> currentSpeed(int fd);

}  // namespace gimbal
