// The serial port's arbitrary line speeds come from the link layer, which
// the three-axis updater shares.
#pragma once

#include "link/arbitrary_speed.h"

namespace serial {

using gimbal::currentSpeed;
using gimbal::setArbitrarySpeed;

}  // namespace serial
