// The simulated gimbal the window's end-to-end and fault tests meet: the
// blocks dialect, 128-byte blocks, version 2.03, announcing every 100 ms.
#pragma once

#include <chrono>
#include <cstdint>

#include "sim/gimbal_sim.h"

namespace trisk_test {

inline constexpr std::uint16_t kBlock = 128;

inline sim::Options blocksGimbal() {
    sim::Options o;
    o.dialect = sim::Dialect::Blocks;
    o.blockSize = kBlock;
    o.version = 203;
    o.announcePeriod = std::chrono::milliseconds(100);
    return o;
}

}  // namespace trisk_test
