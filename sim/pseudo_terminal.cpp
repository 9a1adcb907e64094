#include "sim/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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

bool makeSlaveRaw(const std::string& path, std::string* error) {
    gimbal::UniqueFd slave(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) return fail(error, "open " + path);
    termios tio{};
    if (::tcgetattr(slave.get(), &tio) != 0) return fail(error, "tcgetattr " + path);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(slave.get(), TCSANOW, &tio) != 0) return fail(error, "tcsetattr " + path);
    return true;  // closing the slave leaves the line hung up until a client comes
}

}  // namespace

std::optional<PseudoTerminal> PseudoTerminal::create(std::string* error) {
    gimbal::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid()) return noTerminal(error, "posix_openpt");
    if (::grantpt(master.get()) != 0) return noTerminal(error, "grantpt");
    if (::unlockpt(master.get()) != 0) return noTerminal(error, "unlockpt");
    std::array<char, 128> name{};
    if (::ptsname_r(master.get(), name.data(), name.size()) != 0)
        return noTerminal(error, "ptsname_r");
    const int flags = ::fcntl(master.get(), F_GETFL);
    if (flags < 0 || ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return noTerminal(error, "fcntl O_NONBLOCK");
    std::string path(name.data());
    if (!makeSlaveRaw(path, error)) return std::nullopt;
    return PseudoTerminal(std::move(master), std::move(path));
}

void PseudoTerminal::close() {
    master_.reset();
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

bool PseudoTerminal::slaveOpen() const {
    if (!master_.valid()) return false;
    pollfd p{master_.get(), POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

void PseudoTerminal::forgetDepartedClient() {
    pending_.clear();
    // Only an opener of the slave can flush its input queue. Failing that
    // (another process's exclusive flag and no privilege) is not fatal: the
    // bytes are just not forgotten.
    gimbal::UniqueFd slave(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave.valid()) return;
    ::ioctl(slave.get(), TIOCNXCL);
    ::tcflush(slave.get(), TCIFLUSH);
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
