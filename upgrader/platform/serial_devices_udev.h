// Internal to the udev device source: one tty device turned into a
// SerialDeviceInfo, shared by the enumeration and the monitor.
#pragma once

#include <libudev.h>

#include <optional>

#include "upgrader/platform/serial_devices.h"

namespace platform {

// None when the device has no node or is not a real serial port.
std::optional<SerialDeviceInfo> describeSerialDevice(udev_device* dev);

}  // namespace platform
