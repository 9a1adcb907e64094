#include "upgrader/app/upgrade_status.h"

#include <cmath>

namespace app {

namespace {

std::int64_t pagesOf(const engine::UpgradeState& state, std::int64_t mcu) {
    const bool known = mcu >= 0 && mcu < static_cast<std::int64_t>(state.pageCount.size());
    return known ? state.pageCount[static_cast<std::size_t>(mcu)] : 0;
}

bool switching(const engine::UpgradeState& state) {
    return state.curPage >= pagesOf(state, state.curMCU) && pagesOf(state, state.curMCU) > 0;
}

std::string pageText(const engine::UpgradeState& state) {
    return "MCU " + std::to_string(state.curMCU) + ", page " + std::to_string(state.curPage) + " of " +
           std::to_string(pagesOf(state, state.curMCU));
}

}  // namespace

std::string upgradePlace(const engine::UpgradeState& state) {
    if (switching(state)) return "while switching from MCU " + std::to_string(state.curMCU) + " to the next";
    return pageText(state);
}

// The pages sent before the one in flight were all acknowledged; the rate
// so far gives the time left for the rest.
std::string upgradingStatus(const engine::UpgradeState& state, std::chrono::milliseconds elapsed) {
    std::string text = "Upgrading " + pageText(state);
    std::int64_t total = 0;
    for (const std::int64_t count : state.pageCount) total += count;
    const std::int64_t done = state.sendCount - 1;
    if (done > 0 && elapsed.count() > 0 && total > done) {
        const double perPage = static_cast<double>(elapsed.count()) / 1000.0 / static_cast<double>(done);
        text += ", about " + std::to_string(std::llround(perPage * static_cast<double>(total - done))) + " s left";
    }
    return text;
}

// A page index at the MCU's count means its switch request was outstanding.
std::string upgradeStoppedStatus(const engine::UpgradeState& state, const std::string& why) {
    const std::string where = switching(state) ? upgradePlace(state) : "at " + pageText(state);
    return "Upgrade stopped: " + why + " " + where +
           ". The gimbal stays in upgrade mode until it is restarted and flashed again.";
}

}  // namespace app
