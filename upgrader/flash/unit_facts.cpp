#include "upgrader/flash/unit_facts.h"

#include <unistd.h>

#include <filesystem>

#include "link/firmware_file.h"
#include "link/serial_locks.h"
#include "upgrader/flash/port_list.h"

namespace flash {

ImageFacts imageFactsOf(const std::string& path, const engine::LoadedImage& image) {
    ImageFacts facts;
    facts.path = path;
    facts.sha256 = sha256Hex(image.binbytes);
    if (const auto header = gimbal::readFirmwareHeader(image.binbytes)) facts.crc = header->storedCrc;
    facts.counts = image.pageCount;
    return facts;
}

std::optional<AdapterFacts> adapterOf(const std::string& port, const gimbal::SystemPaths& paths) {
    const std::string device = gimbal::resolvedDevicePath(port);
    constexpr char kDev[] = "/dev/";
    if (device.rfind(kDev, 0) != 0 || device.find('/', sizeof kDev - 1) != std::string::npos) return std::nullopt;
    const std::string tty = paths.sys + "/class/tty/" + device.substr(sizeof kDev - 1);
    std::error_code ec;
    if (!std::filesystem::exists(tty, ec)) return std::nullopt;
    ListedPort listed;
    addDeviceFacts(listed, tty);
    return AdapterFacts{listed.usbId, listed.serial, byIdAlias(device, paths.serialByPath)};
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace flash
