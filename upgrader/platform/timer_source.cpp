#include "upgrader/platform/timer_source.h"

#include <QTimer>

#include <algorithm>
#include <atomic>

#include "upgrader/platform/background_queue.h"

namespace platform {

struct TimerSource::State {
    std::chrono::nanoseconds firstDelay{};
    std::chrono::nanoseconds interval{};
    std::chrono::nanoseconds leeway{};
    std::function<void()> handler;
    std::unique_ptr<QTimer> timer;  // background thread only
    std::atomic<bool> cancelled{false};
};

namespace {

int toTimerMs(std::chrono::nanoseconds value) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(value).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 24LL * 3600 * 1000));
}

void fire(TimerSource::State& state) {
    if (state.cancelled.load() || !state.handler) return;
    // After the first firing the timer keeps the regular interval.
    if (state.timer->interval() != toTimerMs(state.interval)) state.timer->setInterval(toTimerMs(state.interval));
    state.handler();
}

}  // namespace

TimerSource::TimerSource(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval,
                         std::chrono::nanoseconds leeway, std::function<void()> handler)
    : state_(std::make_shared<State>()) {
    state_->firstDelay = firstDelay;
    state_->interval = std::max(interval, std::chrono::nanoseconds(std::chrono::milliseconds(1)));
    state_->leeway = leeway;
    state_->handler = std::move(handler);
}

TimerSource::~TimerSource() {
    cancel();
}

void TimerSource::resume() {
    backgroundQueueAsync([state = state_] {
        if (state->cancelled.load() || state->timer) return;
        state->timer = std::make_unique<QTimer>();
        // A coarse timer may be off by 5% of its interval; use it only when the
        // allowed leeway covers that.
        const bool coarseOk = state->leeway * 20 >= state->interval;
        state->timer->setTimerType(coarseOk ? Qt::CoarseTimer : Qt::PreciseTimer);
        state->timer->setInterval(toTimerMs(state->firstDelay));
        QObject::connect(state->timer.get(), &QTimer::timeout, [raw = state.get()] { fire(*raw); });
        state->timer->start();
    });
}

void TimerSource::cancel() {
    state_->cancelled.store(true);
    backgroundQueueAsync([state = state_] {
        state->timer.reset();
        state->handler = nullptr;
    });
}

}  // namespace platform
