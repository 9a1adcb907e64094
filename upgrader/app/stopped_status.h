// The status line for an upgrade that lost its port: why it stopped, where,
// and that the gimbal waits in upgrade mode for a new one.
#pragma once

#include <string>

#include "upgrader/engine/upgrade_engine.h"

namespace app {

// `why` names the cause, for example "the device /dev/ttyUSB0 was removed".
std::string upgradeStoppedStatus(const engine::UpgradeState& state, const std::string& why);

}  // namespace app
