// The worker's thread, its poll loop and the state of the line: clients
// opening and leaving the slave side, the device vanishing, a new pty.
#include "sim/sim_worker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/posix_io.h"

namespace sim {
namespace {

// While nobody has the slave open the master is left out of the poll set;
// the opens come through the pty's watch, and this probe backs it up.
constexpr std::chrono::milliseconds kHangUpProbe{20};

void drain(int fd) {
    std::uint64_t value = 0;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {}
}

}  // namespace

std::unique_ptr<SimWorker> SimWorker::launch(const Options& options, SharedState& shared, PseudoTerminal pty,
                                             std::string* error) {
    gimbal::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    gimbal::UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!wake.valid() || !timer.valid()) {
        if (error) *error = std::string("eventfd/timerfd: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<SimWorker> worker(
        new SimWorker(options, shared, std::move(pty), std::move(wake), std::move(timer)));
    worker->thread_ = std::thread(&SimWorker::run, worker.get());
    return worker;
}

SimWorker::SimWorker(const Options& options, SharedState& shared, PseudoTerminal pty, gimbal::UniqueFd wake,
                     gimbal::UniqueFd timer)
    : options_(options),
      shared_(shared),
      wake_(std::move(wake)),
      timer_(std::move(timer)),
      pty_(std::move(pty)),
      pacer_(options.baud),
      protocol_(options) {}

SimWorker::~SimWorker() {
    stop();
}

void SimWorker::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
}

void SimWorker::adopt(PseudoTerminal pty) {
    {
        std::lock_guard lock(adoptMutex_);
        adopted_ = std::move(pty);
    }
    wake();
}

void SimWorker::wake() {
    const std::uint64_t one = 1;
    gimbal::retryOnInterrupt([&] { return ::write(wake_.get(), &one, sizeof one); });
}

void SimWorker::run() {
    // Paced replies must leave within microseconds of their wire time.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    probe(epoch_);
    while (!stopping_) {
        timers_.runDue(Clock::now());
        armTimer();
        waitAndDispatch();
    }
}

void SimWorker::armTimer() {
    itimerspec spec{};  // all zero disarms
    if (const auto next = timers_.nextDue()) {
        // steady_clock is CLOCK_MONOTONIC; an absolute time cannot drift.
        const auto ns = std::max<std::int64_t>(std::chrono::duration_cast<Nanos>(next->time_since_epoch()).count(), 1);
        spec.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        spec.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

void SimWorker::waitAndDispatch() {
    std::array<pollfd, 4> fds{};
    fds[0] = {wake_.get(), POLLIN, 0};
    fds[1] = {timer_.get(), POLLIN, 0};
    fds[2] = {-1, 0, 0};  // poll() skips negative descriptors
    fds[3] = {-1, 0, 0};
    if (pty_ && pty_->isOpen()) fds[2] = {pty_->watchFd(), POLLIN, 0};
    if (line_ == Line::Open && pty_ && pty_->isOpen()) {
        const short out = pty_->hasPendingOutput() ? POLLOUT : 0;
        fds[3] = {pty_->masterFd(), static_cast<short>(POLLIN | out), 0};
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) return;  // EINTR: go round again
    if (fds[0].revents != 0) {
        drain(wake_.get());
        takeAdopted();
    }
    if (fds[1].revents != 0) drain(timer_.get());
    // Master first: what a leaving client wrote still counts.
    if (fds[3].fd >= 0 && fds[3].revents != 0) onMasterEvents(fds[3].revents);
    if (fds[2].fd >= 0 && fds[2].revents != 0) onClientsChanged();
}

void SimWorker::onClientsChanged() {
    if (!pty_ || !pty_->isOpen()) return;
    const PseudoTerminal::ClientEvents events = pty_->takeClientEvents();
    const TimePoint now = Clock::now();
    if (line_ == Line::Open && (events.left || !events.present)) {
        PseudoTerminal::ReadResult rest = pty_->readAvailable();
        if (!rest.bytes.empty()) onBytes(rest.bytes, now);
        onHungUp(now);
    } else if (events.left && !events.present) {
        // A client came and went between two looks (killed at once, say):
        // the line never opened, but the exclusive flag it set must still go.
        pty_->forgetDepartedClient();
    }
    // The next client may have come at once: it meets a gimbal come up afresh.
    if (events.present && line_ != Line::Open && line_ != Line::Gone) onOpened(now);
}

void SimWorker::onMasterEvents(short revents) {
    if (revents & POLLOUT) {
        const std::size_t before = pty_->bytesWritten();
        pty_->flushPending();
        if (const std::size_t took = pty_->bytesWritten() - before)
            shared_.update([took](Record& r) { r.stats.bytesSent += took; });
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) return;
    const TimePoint now = Clock::now();
    PseudoTerminal::ReadResult result = pty_->readAvailable();
    if (!result.bytes.empty()) onBytes(result.bytes, now);
    const bool hangUpSeen = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (result.hungUp || (hangUpSeen && result.bytes.empty())) onHungUp(now);
}

void SimWorker::probe(std::uint64_t epoch) {
    if (epoch != epoch_ || line_ == Line::Open || line_ == Line::Gone || !pty_) return;
    const PseudoTerminal::ClientEvents events = pty_->takeClientEvents();
    if (events.present) {
        onOpened(Clock::now());
        return;
    }
    // A client that came and went since the last look (killed at once, say)
    // may have left its exclusive flag: this look took the news, so it acts.
    if (events.left) pty_->forgetDepartedClient();
    // From now, not from when it was due: a stalled worker must not catch up in a burst.
    timers_.schedule(Clock::now() + kHangUpProbe, [this, epoch](TimePoint) { probe(epoch); });
}

void SimWorker::onOpened(TimePoint now) {
    const bool reopened = everOpened_;
    everOpened_ = true;
    line_ = Line::Open;
    ++epoch_;
    pacer_.reset();
    protocol_.reboot();
    shared_.update([reopened](Record& r) {
        if (reopened) ++r.stats.reopens;
    });
    announce(now, epoch_);  // a gimbal that just came up announces at once
}

void SimWorker::onHungUp(TimePoint now) {
    line_ = Line::HungUp;
    ++epoch_;
    // Frames already whole still count as received, now; only the unfinished
    // one and everything on its way out die with the client.
    actOnEveryFrameDue(now);
    if (line_ == Line::Gone) return;  // one of them was answered by vanishing
    assembler_.reset();
    pty_->forgetDepartedClient();
    shared_.update([](Record& r) { ++r.stats.hangups; });
    const std::uint64_t epoch = epoch_;
    timers_.schedule(now + kHangUpProbe, [this, epoch](TimePoint) { probe(epoch); });
}

void SimWorker::vanish() {
    // Flag it before closing, so whoever sees the hang-up also sees vanished().
    shared_.update([](Record& r) { r.vanished = true; });
    timers_.clear();
    framesDue_.clear();
    staleTimer_ = 0;
    assembler_.reset();
    pty_.reset();
    line_ = Line::Gone;
    ++epoch_;
}

void SimWorker::takeAdopted() {
    std::optional<PseudoTerminal> next;
    {
        std::lock_guard lock(adoptMutex_);
        next.swap(adopted_);
    }
    if (!next) return;
    timers_.clear();
    framesDue_.clear();
    staleTimer_ = 0;
    assembler_.reset();
    pty_ = std::move(next);
    line_ = Line::Waiting;
    everOpened_ = false;
    ++epoch_;
    probe(epoch_);
}

}  // namespace sim
