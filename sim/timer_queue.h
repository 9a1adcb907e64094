// A small queue of timed callbacks: announcements, frames due at the end of
// their wire time, paced writes, split pieces, hang-up probes.
//
// Thread contract: used by the simulator's worker only. Callbacks run inside
// runDue() and may schedule or cancel timers, or clear the queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "sim/sim_clock.h"

namespace sim {

class TimerQueue {
public:
    using Id = std::uint64_t;
    // Called with the time it was due, so chains of timers keep exact spacing
    // however late the thread woke.
    using Callback = std::function<void(TimePoint due)>;

    Id schedule(TimePoint due, Callback callback);
    void cancel(Id id);
    void clear();
    bool empty() const { return timers_.empty(); }
    std::optional<TimePoint> nextDue() const;
    // Runs every callback due by `now`, earliest first, equal times in the
    // order they were scheduled. Returns how many ran.
    std::size_t runDue(TimePoint now);

private:
    using Key = std::pair<TimePoint, Id>;
    std::map<Key, Callback> timers_;
    std::unordered_map<Id, TimePoint> dueById_;
    Id nextId_ = 1;
};

}  // namespace sim
