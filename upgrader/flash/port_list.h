// quenlo-flash --list: every serial port the tools would offer (the machine's
// serial devices from udev, then the virtual-serial folder) with what is
// known about it and whether it can be used now. Never opens a device
// (opening raises DTR on real adapters): the state comes from permissions,
// lock files and /proc through the port diagnosis.
#pragma once

#include <string>
#include <vector>

#include "link/port_diagnosis.h"

namespace flash {

struct ListedPort {
    std::string path;   // what --port takes
    std::string name;   // as the windows show it
    std::string byId;   // its /dev/serial/by-id alias, if any
    std::string usbId;  // "0403:6001"; empty when not on USB
    std::string manufacturer, product, serial;
    std::string driver;  // "ftdi_sio", "cp210x", "cdc_acm"
    gimbal::PortDiagnosis state;
};

// "free", "busy", "not permitted", "gone", "other".
const char* stateName(gimbal::PortCause cause);

// What sysfs says of the tty device at `syspath`: the USB device above it
// and the driver behind it.
void addDeviceFacts(ListedPort& port, const std::string& syspath);
// The entry of `byIdFolder` that leads to `node`; empty when none does.
std::string byIdAlias(const std::string& node, const std::string& byIdFolder);

// `virtualFolder` is the virtual-serial folder to list (empty: none).
std::vector<ListedPort> listPorts(const std::string& virtualFolder, const gimbal::SystemPaths& paths = {});

}  // namespace flash
