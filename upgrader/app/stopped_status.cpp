#include "upgrader/app/stopped_status.h"

namespace app {

// Pages count from 0, as quenlo-flash names them; a page index at the MCU's
// count means its switch request was outstanding.
std::string upgradeStoppedStatus(const engine::UpgradeState& state, const std::string& why) {
    const std::int64_t mcu = state.curMCU;
    const bool known = mcu >= 0 && mcu < static_cast<std::int64_t>(state.pageCount.size());
    const std::int64_t pages = known ? state.pageCount[static_cast<std::size_t>(mcu)] : 0;
    const std::string where =
        known && state.curPage >= pages
            ? "while switching from MCU " + std::to_string(mcu) + " to the next"
            : "at MCU " + std::to_string(mcu) + ", page " + std::to_string(state.curPage) + " of " +
                  std::to_string(pages);
    return "Upgrade stopped: " + why + " " + where +
           ". The gimbal stays in upgrade mode until it is restarted and flashed again.";
}

}  // namespace app
