#include "sim/timer_queue.h"

namespace sim {

TimerQueue::Id TimerQueue::schedule(TimePoint due, Callback callback) {
    const Id id = nextId_++;
    timers_.emplace(Key{due, id}, std::move(callback));
    dueById_.emplace(id, due);
    return id;
}

void TimerQueue::cancel(Id id) {
    const auto it = dueById_.find(id);
    if (it == dueById_.end()) return;
    timers_.erase(Key{it->second, id});
    dueById_.erase(it);
}

void TimerQueue::clear() {
    timers_.clear();
    dueById_.clear();
}

std::optional<TimePoint> TimerQueue::nextDue() const {
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.first;
}

std::size_t TimerQueue::runDue(TimePoint now) {
    std::size_t ran = 0;
    while (!timers_.empty()) {
        const auto it = timers_.begin();
        const auto [due, id] = it->first;
        if (due > now) break;
        Callback callback = std::move(it->second);
        timers_.erase(it);
        dueById_.erase(id);
        callback(due);
        ++ran;
    }
    return ran;
}

}  // namespace sim
