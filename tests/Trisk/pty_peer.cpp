#include "pty_peer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "link/posix_io.h"

namespace trisk_test {

PtyPeer::PtyPeer() {
    gimbal::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (master.get() < 0 || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return;
    char name[PATH_MAX];
    if (::ptsname_r(master.get(), name, sizeof name) != 0) return;
    gimbal::UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (slave.get() < 0) return;
    // Raw from the start, so nothing is echoed back before the window sets the line up.
    termios t{};
    if (::tcgetattr(slave.get(), &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slave.get(), TCSANOW, &t);
    }
    master_ = std::move(master);
    slave_ = std::move(slave);
    path_ = name;
}

void PtyPeer::write(const gimbal::Bytes& bytes) {
    gimbal::ByteView rest(bytes);
    while (!rest.empty() && master_.valid()) {
        const gimbal::WriteResult wrote = gimbal::writeAll(master_.get(), rest);
        rest = rest.subspan(wrote.written);
        if (wrote.error != 0 && wrote.error != EAGAIN) return;
    }
}

const gimbal::Bytes& PtyPeer::received() {
    std::uint8_t chunk[4096];
    while (master_.get() >= 0) {
        const ssize_t n = ::read(master_.get(), chunk, sizeof chunk);
        if (n > 0)
            rx_.insert(rx_.end(), chunk, chunk + n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // EAGAIN: nothing more for now
    }
    return rx_;
}

termios PtyPeer::settings() const {
    termios t{};
    ::tcgetattr(slave_.get(), &t);
    return t;
}

std::vector<gimbal::Bytes> framesIn(const gimbal::Bytes& stream) {
    std::vector<gimbal::Bytes> frames;
    gimbal::ByteView rest(stream);
    while (!rest.empty()) {
        const gimbal::FrameCheck check = gimbal::checkFrame(rest);
        if (check.status == gimbal::FrameStatus::Incomplete) break;
        if (check.status != gimbal::FrameStatus::Sound) {
            rest = rest.subspan(1);
            continue;
        }
        frames.emplace_back(rest.begin(), rest.begin() + check.frame.size);
        rest = rest.subspan(check.frame.size);
    }
    return frames;
}

}  // namespace trisk_test
