#include "link/unique_fd.h"

#include <unistd.h>

namespace gimbal {

int UniqueFd::reset(int fd) {
    const int old = std::exchange(fd_, fd);
    // close() is not retried on EINTR: the descriptor is already released.
    return old >= 0 ? ::close(old) : 0;
}

}  // namespace gimbal
