// The machine's serial devices, from udev: the ones that are real serial
// ports (a device behind them; no virtual consoles, no serial-core port of
// unknown type), with a name a person recognises.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SerialDeviceInfo {
    std::string syspath;       // identity in the device tree
    std::string node;          // "/dev/ttyUSB0": callout and dial-in path
    std::string sysname;       // "ttyUSB0"
    std::string friendlyName;  // "FT232R USB UART (ttyUSB0)", or the sysname
};

// What decides whether a tty is a real serial port.
struct TtyFacts {
    bool hasParentDevice = false;        // virtual consoles, ptmx and pty have none
    std::optional<long> serialCoreType;  // sysfs "type" of serial-core ports; 0 = unknown
};
bool isRealSerialPort(const TtyFacts& facts);

// "product (sysname)" when a product name is known, else the sysname.
std::string friendlySerialName(const std::string& product, const std::string& sysname);

// All real serial ports present now, in udev's enumeration order. Empty (and
// *error set) when udev cannot be used.
std::vector<SerialDeviceInfo> enumerateSerialDevices(std::string* error = nullptr);

}  // namespace platform
