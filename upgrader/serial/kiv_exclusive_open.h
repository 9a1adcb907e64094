// The port's exclusive open lives in the link layer, which the three-axis
// updater shares (link/exclusive_open.h).
#pragma once

#include "link/exclusive_open.h"

namespace serial {

using gimbal::DeviceLockFile;
using gimbal::ExclusiveDevice;
using gimbal::lockDirectory;
using gimbal::lockDirectoryCandidates;
using gimbal::lockFileNameFor;

}  // namespace serial
