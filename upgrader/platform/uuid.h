// Random (version 4) UUIDs with the platform's canonical text form:
// upper-case hex in 8-4-4-4-12 groups. Any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static Uuid create();
    std::string string() const;
    std::size_t hash() const;
    bool operator==(const Uuid&) const = default;
};

}  // namespace platform
