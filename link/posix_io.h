// The two places where system calls are retried: after EINTR, and after a
// write that took only part of its bytes.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace gimbal {

// Repeats `call` while it fails with EINTR; answers its last result.
template <typename Call>
auto retryOnInterrupt(Call&& call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

struct WriteResult {
    std::size_t written = 0;  // bytes the descriptor took, from the start
    int error = 0;            // errno of the failure that stopped it; 0 when all went
};

// Writes all of `bytes`, going on after partial writes and EINTR. Stops at
// any other failure: on a non-blocking descriptor EAGAIN means it is full
// for now and the rest is the caller's to keep. A write that takes nothing
// stops it with EIO, so a dead descriptor cannot make it spin.
WriteResult writeAll(int fd, std::span<const std::uint8_t> bytes);
inline WriteResult writeAll(int fd, std::string_view text) {
    return writeAll(fd, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

}  // namespace gimbal
