#include "upgrader/engine/upgrade_frames.h"

#include <charconv>
#include <cstdio>

#include "link/frame.h"

namespace engine {

namespace {

constexpr std::size_t kShortReport = 12;
constexpr std::size_t kLongReport = 32;

// The two acknowledgements read alike in both dialects; anything else from
// the gimbal is some other frame.
ResponseKind acknowledgementKind(std::uint8_t command) {
    if (command == gimbal::commandByte(gimbal::Command::BlockAck)) return ResponseKind::PageAck;
    if (command == gimbal::commandByte(gimbal::Command::SwitchAck)) return ResponseKind::SwitchAck;
    return ResponseKind::OtherFrame;
}

}  // namespace

Bytes enterUpgradeModeFrame() {
    return gimbal::linkReplyFrame();
}

Bytes switchMCUFrame() {
    return gimbal::upgraderSwitchFrame();
}

Bytes pageDataFrame(std::uint16_t page, std::span<const std::uint8_t> block) {
    if (block.size() != 1024) return {};
    return gimbal::buildBlockFrame(page, block);
}

Response recogniseResponse(std::span<const std::uint8_t> chunk) {
    Response r;
    if (chunk.size() < 2 || chunk[0] != gimbal::kSync1 || chunk[1] != gimbal::kSync2) return r;
    // A fragment such as "55 AA" alone cannot be told apart from the start of
    // an acknowledgement whose rest is lost; taking it for a response would
    // stop the page timer and hide the failure, so it is ignored.
    if (chunk.size() < 4) return r;
    r.kind = ResponseKind::OtherFrame;
    if (chunk[2] != gimbal::kHostAddress) return r;
    if (chunk[3] != gimbal::commandByte(gimbal::Command::LinkAnnouncement)) {
        r.kind = acknowledgementKind(chunk[3]);
        return r;
    }
    if (chunk.size() == kShortReport || chunk.size() == kLongReport) {
        r.kind = ResponseKind::VersionReport;
        r.version = static_cast<std::int16_t>(*gimbal::readLe16(chunk, 8));
        r.length = chunk.size();
    }
    return r;
}

Response recogniseThreeAxisResponse(std::span<const std::uint8_t> chunk) {
    Response r;
    const gimbal::FrameCheck check = gimbal::checkFrame(chunk);
    if (check.status != gimbal::FrameStatus::Sound || check.frame.size != chunk.size()) return r;
    r.kind = ResponseKind::OtherFrame;
    if (check.frame.address != gimbal::kHostAddress) return r;
    const auto payload = check.frame.payload;
    if (check.frame.command != gimbal::commandByte(gimbal::Command::LinkAnnouncement)) {
        r.kind = acknowledgementKind(check.frame.command);
        return r;
    }
    if (payload.size() >= 4) {
        r.kind = ResponseKind::VersionReport;
        r.blockSize = *gimbal::readLe16(payload, 0);
        r.version = static_cast<std::int16_t>(*gimbal::readLe16(payload, 2));
        r.length = chunk.size();
    }
    return r;
}

std::string threeAxisVersionText(std::uint16_t hundredths) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", hundredths * 0.01);
    return buf;
}

namespace {

std::string dotted(std::initializer_list<int> parts) {
    std::string text;
    for (int p : parts) {
        if (!text.empty()) text += '.';
        text += std::to_string(p);
    }
    return text;
}

// Shortest decimal that reads back as the same double, always with a point.
std::string hundredths(std::int16_t v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v / 100.0, std::chars_format::fixed);
    std::string text = ec == std::errc() ? std::string(buf, end) : std::to_string(v / 100.0);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace

std::string versionText(std::int16_t version, std::size_t reportLength) {
    const int v = version;
    if (reportLength == kLongReport) {
        if (v > 9999) return dotted({v / 10000, (v % 10000) / 1000, (v % 1000) / 100, v % 100});
        return dotted({v / 1000, (v % 1000) / 100, (v % 100) / 10, v % 10});
    }
    return hundredths(version);
}

std::string connectedStatusText(std::int16_t version, std::size_t reportLength) {
    return "Gimbal Connected, current firmware version V" + versionText(version, reportLength);
}

}  // namespace engine
