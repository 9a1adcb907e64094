#include "sim/pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/posix_io.h"

namespace sim {
namespace {

constexpr std::size_t kMaxReadPerCall = 64 * 1024;
constexpr std::size_t kMaxPendingOutput = 1024 * 1024;

bool fail(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
}

std::nullopt_t noTerminal(std::string* error, const std::string& what) {
    fail(error, what);
    return std::nullopt;
}

// Our own slave descriptor, raw so that no echo can return our bytes to us.
gimbal::UniqueFd openSlaveRaw(const std::string& path, std::string* error) {
    const auto failed = [&](const std::string& what) {
        fail(error, what + " " + path);
        return gimbal::UniqueFd();
    };
    gimbal::UniqueFd slave(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave.valid()) return failed("open");
    termios tio{};
    if (::tcgetattr(slave.get(), &tio) != 0) return failed("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(slave.get(), TCSANOW, &tio) != 0) return failed("tcsetattr");
    return slave;
}

}  // namespace

std::optional<PseudoTerminal> PseudoTerminal::create(std::string* error) {
    gimbal::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid()) return noTerminal(error, "posix_openpt");
    if (::grantpt(master.get()) != 0) return noTerminal(error, "grantpt");
    if (::unlockpt(master.get()) != 0) return noTerminal(error, "unlockpt");
    std::array<char, 128> name{};
    if (::ptsname_r(master.get(), name.data(), name.size()) != 0) return noTerminal(error, "ptsname_r");
    const int flags = ::fcntl(master.get(), F_GETFL);
    if (flags < 0 || ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return noTerminal(error, "fcntl O_NONBLOCK");
    std::string path(name.data());
    gimbal::UniqueFd slave = openSlaveRaw(path, error);
    if (!slave.valid()) return std::nullopt;
    // Watched after our own open, so that only clients count.
    gimbal::UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch.valid()) return noTerminal(error, "inotify_init1");
    if (::inotify_add_watch(watch.get(), path.c_str(), IN_OPEN | IN_CLOSE) < 0)
        return noTerminal(error, "inotify_add_watch " + path);
    return PseudoTerminal(std::move(master), std::move(slave), std::move(watch), std::move(path));
}

void PseudoTerminal::close() {
    master_.reset();
    slave_.reset();
    watch_.reset();
    pending_.clear();
}

PseudoTerminal::ReadResult PseudoTerminal::readAvailable() {
    ReadResult result;
    std::array<std::uint8_t, 4096> buf{};
    while (master_.valid() && result.bytes.size() < kMaxReadPerCall) {
        const ssize_t n = ::read(master_.get(), buf.data(), buf.size());
        if (n > 0) {
            result.bytes.insert(result.bytes.end(), buf.begin(), buf.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        result.hungUp = true;  // EIO (or 0): no client on the slave side
        break;
    }
    return result;
}

PseudoTerminal::ClientEvents PseudoTerminal::takeClientEvents() {
    ClientEvents events;
    if (!master_.valid() || !watch_.valid()) return events;
    alignas(inotify_event) std::array<char, 4096> buf{};
    for (;;) {
        const ssize_t n = gimbal::retryOnInterrupt([&] { return ::read(watch_.get(), buf.data(), buf.size()); });
        if (n <= 0) break;  // EAGAIN: all taken
        for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
            inotify_event event{};
            std::memcpy(&event, buf.data() + at, sizeof event);
            if (event.mask & IN_OPEN) ++clients_;
            if (event.mask & IN_CLOSE) {
                clients_ = std::max(clients_ - 1, 0);
                if (clients_ == 0) events.left = true;
            }
            at += sizeof event + event.len;
        }
    }
    events.present = clients_ > 0;
    return events;
}

void PseudoTerminal::forgetDepartedClient() {
    pending_.clear();
    if (!slave_.valid()) return;
    // A client killed before it could clear its exclusive flag would keep
    // every later one out; a real device forgets it at last close.
    ::ioctl(slave_.get(), TIOCNXCL);
    ::tcflush(slave_.get(), TCIFLUSH);
}

bool PseudoTerminal::write(std::span<const std::uint8_t> bytes) {
    if (!master_.valid()) return false;
    if (pending_.size() + bytes.size() > kMaxPendingOutput) return false;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    flushPending();
    return true;
}

void PseudoTerminal::flushPending() {
    if (!master_.valid()) return;
    const gimbal::WriteResult wrote = gimbal::writeAll(master_.get(), pending_);
    written_ += wrote.written;
    const bool full = wrote.error == EAGAIN || wrote.error == EWOULDBLOCK;
    // What the client is not reading yet waits; after a hang-up nobody is there to hear it.
    const std::size_t done = wrote.error == 0 || full ? wrote.written : pending_.size();
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
}

}  // namespace sim
