#include "link/termination_signals.h"

#include "link/posix_io.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <stdexcept>
#include <cstring>
#include <string>
#include <unistd.h>

namespace gimbal {
namespace {

constexpr std::array kSignals{SIGINT, SIGTERM, SIGHUP};

// The handler only writes one byte; everything else happens in the loop.
std::atomic<int> writeEnd{-1};
std::array<struct sigaction, kSignals.size()> previous{};
// Which handlers this holder put in place, to be undone at its end.
std::array<bool, kSignals.size()> installed{};

void onSignal(int signal) {
    const int savedErrno = errno;
    const auto byte = static_cast<std::uint8_t>(signal);
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const auto written = ::write(fd, &byte, 1);
        (void)written;  // a full pipe already holds a wake-up
    }
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    readEnd_.reset(ends[0]);
    int expected = -1;
    if (!writeEnd.compare_exchange_strong(expected, ends[1])) {
        ::close(ends[1]);
        throw std::logic_error("TerminationSignals: one per process");
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal inherited as ignored stays ignored: that is how nohup (SIGHUP)
    // and a shell's background jobs (SIGINT) ask a program to outlive them.
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        installed[i] = false;
        if (::sigaction(kSignals[i], nullptr, &previous[i]) != 0 || previous[i].sa_handler == SIG_IGN) continue;
        installed[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
    }
}

TerminationSignals::~TerminationSignals() {
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        if (installed[i]) ::sigaction(kSignals[i], &previous[i], nullptr);
    ::close(writeEnd.exchange(-1));
}

int TerminationSignals::take() {
    std::uint8_t byte = 0;
    const auto got = retryOnInterrupt([&] { return ::read(readEnd_.get(), &byte, 1); });
    return got == 1 ? byte : 0;
}

}  // namespace gimbal
