#include "upgrader/flash/frame_assembler.h"

#include <algorithm>

#include "link/frame.h"

namespace flash {

namespace {

// The gimbal's replies are short; a header announcing more than this is noise
// that happens to contain 55 AA, and waiting for it would stall the link.
constexpr std::size_t kLargestReplyPayload = 1024;
constexpr std::size_t kHeaderSize = 6;

}  // namespace

std::vector<FrameAssembler::Bytes> FrameAssembler::feed(const Bytes& chunk) {
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    std::vector<Bytes> frames;
    std::size_t start = 0;
    while (start < buffer_.size()) {
        const gimbal::ByteView rest(buffer_.data() + start, buffer_.size() - start);
        const auto length = gimbal::readLe16(rest, 4);
        if (rest[0] == 0x55 && rest.size() >= kHeaderSize && rest[1] == 0xAA && length &&
            *length > kLargestReplyPayload) {
            ++start;  // implausible header: resynchronise on the next byte
            continue;
        }
        const gimbal::FrameCheck check = gimbal::checkFrame(rest);
        if (check.status == gimbal::FrameStatus::Incomplete) {
            // Only a possible frame start waits for more bytes.
            if (rest[0] == 0x55 && (rest.size() < 2 || rest[1] == 0xAA)) break;
            ++start;
        } else if (check.status == gimbal::FrameStatus::Sound) {
            frames.emplace_back(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(check.frame.size));
            start += check.frame.size;
        } else {
            ++start;
        }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    return frames;
}

}  // namespace flash
