// SHA-256 of a byte range as lower-case hex, from the platform's hash
// (Qt Core), for records that name exactly which file went into a unit.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace platform {

std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace platform
