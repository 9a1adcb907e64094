// The live line of a single run on a terminal: where the upgrade stands,
// how long it has taken, its rate and the time left, and a wait for the
// gimbal that has lasted over 2 s, counted against the page timer.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace flash {

struct LiveStand {
    std::int64_t mcu = 0;
    std::int64_t page = 0;       // acknowledged pages of that MCU; `pages` while its switch is outstanding
    std::int64_t pages = 0;      // that MCU's page count
    std::int64_t pagesDone = 0;  // over all MCUs
    std::int64_t pagesTotal = 0;
    bool threeAxis = false;  // images (from 1) and blocks instead of MCUs and pages
};

// "MCU 0, page 3 of 64  4.2 s  7.1 pages/s  about 23 s left", then
// "  waiting for page 3's acknowledgement (12 s of 30)" past 2 s of waiting.
std::string liveLineText(const LiveStand& stand, std::chrono::milliseconds elapsed, std::chrono::milliseconds waited,
                         std::chrono::milliseconds timeout);

}  // namespace flash
