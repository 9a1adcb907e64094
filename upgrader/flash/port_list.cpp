#include "upgrader/flash/port_list.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "link/virtual_ports.h"
#include "upgrader/platform/serial_devices.h"

namespace flash {

namespace {

namespace fs = std::filesystem;

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

fs::path resolved(const fs::path& path) {
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    return ec ? path : real;
}

}  // namespace

const char* stateName(gimbal::PortCause cause) {
    switch (cause) {
        case gimbal::PortCause::Usable:
            return "free";
        case gimbal::PortCause::Busy:
            return "busy";
        case gimbal::PortCause::PermissionDenied:
            return "not permitted";
        case gimbal::PortCause::Gone:
            return "gone";
        case gimbal::PortCause::Other:
            return "other";
    }
    return "other";
}

// The USB device is the nearest folder above the tty with an idVendor.
void addDeviceFacts(ListedPort& port, const std::string& syspath) {
    std::error_code ec;
    const fs::path tty = resolved(syspath);
    if (const fs::path driver = fs::read_symlink(tty / "device" / "driver", ec); !ec)
        port.driver = driver.filename().string();
    for (fs::path dir = tty; dir.has_relative_path(); dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec)) continue;
        port.usbId = firstLine(dir / "idVendor") + ":" + firstLine(dir / "idProduct");
        port.manufacturer = firstLine(dir / "manufacturer");
        port.product = firstLine(dir / "product");
        port.serial = firstLine(dir / "serial");
        return;
    }
}

std::string byIdAlias(const std::string& node, const std::string& byIdFolder) {
    std::error_code ec;
    const fs::path target = resolved(node);
    for (fs::directory_iterator it(byIdFolder, ec), end; !ec && it != end; it.increment(ec))
        if (resolved(it->path()) == target) return it->path().string();
    return {};
}

std::vector<ListedPort> listPorts(const std::string& virtualFolder, const gimbal::SystemPaths& paths) {
    std::vector<ListedPort> ports;
    for (const auto& device : platform::enumerateSerialDevices()) {
        ListedPort port;
        port.path = device.node;
        port.name = device.friendlyName;
        port.byId = byIdAlias(device.node, paths.serialById);
        addDeviceFacts(port, device.syspath);
        ports.push_back(std::move(port));
    }
    if (!virtualFolder.empty())
        for (const auto& link : gimbal::listVirtualSerialPorts(virtualFolder)) {
            ListedPort port;
            port.path = link.path;
            port.name = link.name;
            ports.push_back(std::move(port));
        }
    for (auto& port : ports) port.state = gimbal::diagnosePort(port.path, paths);
    return ports;
}

}  // namespace flash
