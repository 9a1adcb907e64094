// What a production line's record says of a unit besides its result: the
// image that went in (digest, stored CRC, counts), the adapter it went
// through (USB identity, serial number, physical socket) and the station
// (host name). Read once per image and once per appearance.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "link/port_diagnosis.h"
#include "upgrader/engine/firmware_image.h"
#include "upgrader/platform/sha256.h"

namespace flash {

struct ImageFacts {
    std::string path;       // as given on the command line
    std::string sha256;     // of the whole file, lower-case hex
    std::uint16_t crc = 0;  // the CRC stored in the file's header
    std::array<std::int64_t, 3> counts{};
};

struct AdapterFacts {
    std::string usbId;   // "0403:6001"; empty when not on USB
    std::string serial;  // the USB serial number; empty when none
    std::string byPath;  // its /dev/serial/by-path link: the socket it is plugged into
};

using platform::sha256Hex;
ImageFacts imageFactsOf(const std::string& path, const engine::LoadedImage& image);
// None for a port that is no device in sysfs (a virtual port, a pty).
std::optional<AdapterFacts> adapterOf(const std::string& port, const gimbal::SystemPaths& paths = {});
// This machine's name; empty when it has none.
std::string hostName();

}  // namespace flash
