// The ready-made fault policies declared in gimbal_sim.h.
#include <utility>

#include "sim/fault_plan.h"
#include "sim/gimbal_sim.h"

namespace sim {

FaultPolicy faultsAt(std::map<std::size_t, Fault> byReplyNumber) {
    return [table = std::move(byReplyNumber)](const ReplyInfo& info) {
        const auto it = table.find(info.number);
        return it == table.end() ? Fault::None : it->second;
    };
}

FaultPolicy randomFaults(std::uint64_t seed, double probability, std::vector<Fault> kinds) {
    // A hash of seed and reply number instead of a running generator: the
    // same reply gets the same fault however often or in what order it is asked.
    return [seed, probability, kinds = std::move(kinds)](const ReplyInfo& info) {
        if (kinds.empty()) return Fault::None;
        const std::uint64_t h = mix64(seed ^ mix64(info.number));
        const double roll = static_cast<double>(h >> 11) * 0x1.0p-53;  // [0, 1)
        if (!(roll < probability)) return Fault::None;
        return kinds[mix64(h) % kinds.size()];
    };
}

}  // namespace sim
