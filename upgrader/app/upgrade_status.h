// The status line's texts for an upgrade: where it stands while it runs,
// and, for one that lost its port, why it stopped, where, and that the
// gimbal waits in upgrade mode for a new one. MCUs and pages are numbered
// from 0, as the gimbal and the log number them: "page 3 of 64" is the
// fourth page of 64.
#pragma once

#include <chrono>
#include <string>

#include "upgrader/engine/upgrade_engine.h"

namespace app {

// "Upgrading MCU 1, page 3 of 64, about 12 s left": `elapsed` since Start;
// the time left is left out until a page has been acknowledged.
std::string upgradingStatus(const engine::UpgradeState& state, std::chrono::milliseconds elapsed);

// `why` names the cause, for example "the device /dev/ttyUSB0 was removed".
std::string upgradeStoppedStatus(const engine::UpgradeState& state, const std::string& why);

// "MCU 1, page 3 of 64", or "while switching from MCU 1 to the next" while
// the switch request is outstanding.
std::string upgradePlace(const engine::UpgradeState& state);

}  // namespace app
