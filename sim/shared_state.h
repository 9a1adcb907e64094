// What the simulator has seen and done, shared between its worker (the only
// writer) and any thread that asks. Every change wakes the waiters.
//
// Thread contract: every member may be called from any thread. update() and
// read() hold the lock while they run their function, so that function must
// not call back into this object. waitUntil() blocks its caller and runs its
// check without the lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/gimbal_sim.h"
#include "sim/sim_clock.h"

namespace sim {

struct Record {
    Stats stats;
    std::size_t segment = 0;
    std::vector<BlockRecord> log;
    std::map<std::size_t, std::map<std::uint16_t, Bytes>> latest;  // segment -> index -> data
    std::vector<RunInfo> runs{RunInfo{}};
    // (run, segment within it) -> index -> data
    std::map<std::pair<std::size_t, std::size_t>, std::map<std::uint16_t, Bytes>> latestByRun;
    std::string slavePath;
    bool vanished = false;
    FaultPolicy policy;

    void addBlock(const BlockRecord& block);
};

class SharedState {
public:
    template <class F>
    void update(F&& change) {
        {
            std::lock_guard lock(mutex_);
            change(record_);
            ++events_;
        }
        changed_.notify_all();
    }

    template <class F>
    auto read(F&& look) const {
        std::lock_guard lock(mutex_);
        return look(record_);
    }

    // True as soon as check() holds, re-checked after every change; false if
    // the deadline passes first.
    bool waitUntil(const std::function<bool()>& check, TimePoint deadline) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::uint64_t events_ = 0;
    Record record_;
};

}  // namespace sim
