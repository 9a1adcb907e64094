#include "link/posix_io.h"

#include <unistd.h>

namespace gimbal {

WriteResult writeAll(int fd, std::span<const std::uint8_t> bytes) {
    WriteResult result;
    while (result.written < bytes.size()) {
        const std::span<const std::uint8_t> rest = bytes.subspan(result.written);
        const ssize_t n = retryOnInterrupt([&] { return ::write(fd, rest.data(), rest.size()); });
        if (n <= 0) {
            result.error = n < 0 ? errno : EIO;
            break;
        }
        result.written += static_cast<std::size_t>(n);
    }
    return result;
}

}  // namespace gimbal
