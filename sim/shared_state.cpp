#include "sim/shared_state.h"

namespace sim {

void Record::addBlock(const BlockRecord& block) {
    log.push_back(block);
    latest[block.segment][block.index] = block.data;
    latestByRun[{block.run, block.runSegment}][block.index] = block.data;
}

bool SharedState::waitUntil(const std::function<bool()>& check, TimePoint deadline) const {
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(mutex_);
            seen = events_;
        }
        // Taking the event count first means no change between the check and
        // the wait can go unnoticed.
        if (check()) return true;
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return events_ != seen; })) {
            lock.unlock();
            return check();
        }
    }
}

}  // namespace sim
