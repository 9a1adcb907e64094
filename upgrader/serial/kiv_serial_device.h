// A serial device of the machine as the port sees it: the handful of registry
// properties a port needs. The device source (the port manager's udev
// listing, or a test double) provides the devices; a port keeps its device
// for its life.
//
// Threads: devices are immutable once made; the installed source may be
// swapped from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace serial {

// Registry property names, kept as the keys the port asks for.
inline constexpr std::string_view kIOCalloutDeviceKey = "IOCalloutDevice";
inline constexpr std::string_view kIODialinDeviceKey = "IODialinDevice";
inline constexpr std::string_view kIOTTYDeviceKey = "IOTTYDevice";
inline constexpr std::string_view kIOTTYBaseNameKey = "IOTTYBaseName";
inline constexpr std::string_view kIOSerialBSDClientTypeKey = "IOSerialBSDClientType";
inline constexpr std::string_view kIOTTYSuffixKey = "IOTTYSuffix";
// The one service type a port is made for.
inline constexpr std::string_view kIOSerialStreamType = "IOSerialStream";

class KivSerialDevice {
public:
    virtual ~KivSerialDevice() = default;
    virtual std::optional<std::string> calloutPath() const = 0;  // "/dev/ttyUSB0"
    virtual std::optional<std::string> dialinPath() const = 0;   // on Linux the same node
    virtual std::optional<std::string> ttyName() const = 0;      // "ttyUSB0"
    virtual std::optional<std::string> baseName() const = 0;     // "ttyUSB"
    virtual std::optional<std::string> serviceType() const = 0;  // "IOSerialStream"
    virtual std::optional<std::string> suffix() const = 0;       // "0"
};

using KivSerialDeviceHandle = std::shared_ptr<const KivSerialDevice>;

// Where devices are looked up by path.
class KivSerialDeviceSource {
public:
    virtual ~KivSerialDeviceSource() = default;
    virtual std::vector<KivSerialDeviceHandle> serialDevices() const = 0;
};

// The source used to find a device by path. Until one is installed (the port
// manager installs its own), a path that names an existing character device
// node stands for a device of its own (kivNodeDevice).
void setKivSerialDeviceSource(std::shared_ptr<const KivSerialDeviceSource> source);
std::shared_ptr<const KivSerialDeviceSource> kivSerialDeviceSource();

// A device made from a node path alone: callout and dial-in path are the path,
// the TTY name its last component, split into base name and numeric suffix.
// None when the path does not name a character device.
KivSerialDeviceHandle kivNodeDevice(const std::string& path);

// Same as kivNodeDevice without the check that the node exists (for sources
// that know their devices, and for tests).
KivSerialDeviceHandle kivDeviceForNodePath(const std::string& path);

}  // namespace serial
