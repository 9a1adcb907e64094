#include "sim/line_pacer.h"

#include <algorithm>

namespace sim {

namespace {
constexpr std::int64_t kBitsPerByte = 10;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
}  // namespace

Nanos LinePacer::wireTime(std::size_t bytes) const {
    if (baud_ == 0) return Nanos::zero();
    // At most 65543 bytes per frame: the product stays far inside 64 bits.
    const auto bits = static_cast<std::int64_t>(bytes) * kBitsPerByte;
    return Nanos(bits * kNanosPerSecond / baud_);
}

TimePoint LinePacer::receive(TimePoint now, std::size_t bytes) {
    const TimePoint start = std::max(now, rxFree_);
    rxFree_ = start + wireTime(bytes);
    return start;
}

TimePoint LinePacer::reserveTransmit(TimePoint ready, std::size_t bytes) {
    const TimePoint start = std::max(ready, txFree_);
    txFree_ = start + wireTime(bytes);
    return txFree_;
}

void LinePacer::reset() {
    rxFree_ = TimePoint{};
    txFree_ = TimePoint{};
}

}  // namespace sim
