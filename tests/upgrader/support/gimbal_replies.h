// The gimbal's page and switch acknowledgements as the engine tests feed
// them (the engine judges a reply by its command byte).
#pragma once

#include <cstdint>
#include <vector>

namespace test_support {

inline const std::vector<std::uint8_t> kPageAck{0x55, 0xAA, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
inline const std::vector<std::uint8_t> kSwitchAck{0x55, 0xAA, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00};

}  // namespace test_support
