// Page data for test firmware images: random bytes from a seed, so a page
// sent from the wrong place, or under the wrong MCU, shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace test_support {

inline std::vector<std::uint8_t> randomImage(std::size_t pages, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> image(pages * 1024);
    for (auto& b : image) b = static_cast<std::uint8_t>(rng());
    return image;
}

}  // namespace test_support
