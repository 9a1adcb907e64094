// The desktop upgrader's side of the link: the frames it sends, how it
// recognises the gimbal's responses (by their first bytes only, without
// checking the CRC) and how a reported firmware version is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace engine {

using Bytes = std::vector<std::uint8_t>;

Bytes enterUpgradeModeFrame();  // 55 AA 00 01 00 00 F0 B3
Bytes switchMCUFrame();         // 55 AA 00 07 00 00 50 01
// 1036 bytes: page index (LE16), 00 00, the block. Empty unless the block is
// exactly 1024 bytes.
Bytes pageDataFrame(std::uint16_t page, std::span<const std::uint8_t> block);

enum class ResponseKind {
    NotAFrame,      // no 55 AA in front, or too short to tell what it is: ignored completely
    VersionReport,  // 55 AA 00 00, exactly 12 or 32 bytes
    PageAck,        // 55 AA 00 03
    SwitchAck,      // 55 AA 00 08
    OtherFrame,     // any other frame: stops the page timer, nothing more
};

struct Response {
    ResponseKind kind = ResponseKind::NotAFrame;
    std::int16_t version = 0;     // VersionReport: bytes 8-9, signed
    std::size_t length = 0;       // VersionReport: 12 or 32
    std::uint16_t blockSize = 0;  // VersionReport of the three-axis side: the announced block size
};

Response recogniseResponse(std::span<const std::uint8_t> chunk);
// The three-axis side's reading: only a whole frame whose CRC holds counts,
// and an announcement is any with at least its 4 bytes of block size and
// version.
Response recogniseThreeAxisResponse(std::span<const std::uint8_t> chunk);
// The three-axis version in hundredths as that side shows it: 150 is "1.5",
// 203 "2.03", 100 "1".
std::string threeAxisVersionText(std::uint16_t hundredths);

// "1.23" for a 12-byte report of 123, "1.2.3.4" for a 32-byte report of 1234.
std::string versionText(std::int16_t version, std::size_t reportLength);
// "Gimbal Connected, current firmware version V" followed by the version text.
std::string connectedStatusText(std::int16_t version, std::size_t reportLength);

}  // namespace engine
