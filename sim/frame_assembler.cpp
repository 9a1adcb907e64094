#include "sim/frame_assembler.h"

#include <algorithm>

#include "link/frame.h"

namespace sim {

void FrameAssembler::skipToSync() {
    auto it = buffer_.begin();
    while (it != buffer_.end()) {
        it = std::find(it, buffer_.end(), gimbal::kSync1);
        if (it == buffer_.end() || it + 1 == buffer_.end() || *(it + 1) == gimbal::kSync2) break;
        ++it;
    }
    buffer_.erase(buffer_.begin(), it);  // keeps a lone trailing 0x55: it may start a frame
}

std::vector<FrameAssembler::Piece> FrameAssembler::push(std::span<const std::uint8_t> chunk,
                                                        TimePoint now) {
    std::vector<Piece> pieces;
    if (chunk.empty()) return pieces;
    lastByte_ = now;
    // Frames are located in the chunk by counting back from the buffer's end,
    // which stays put while the buffer shrinks from the front.
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    for (;;) {
        skipToSync();
        const gimbal::FrameCheck check = gimbal::checkFrame(buffer_);
        if (check.status == gimbal::FrameStatus::Incomplete ||
            check.status == gimbal::FrameStatus::BadSync)
            break;  // BadSync cannot happen after skipToSync; Incomplete waits for more
        const std::size_t size = check.frame.size;
        const std::size_t tailAfter = buffer_.size() - size;  // bytes after this frame
        Piece piece;
        piece.crcHolds = check.status == gimbal::FrameStatus::Sound;
        piece.frame.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
        // Every completed frame ends inside this chunk: nothing whole was held before it.
        piece.endInChunk = chunk.size() > tailAfter ? chunk.size() - tailAfter : 0;
        pieces.push_back(std::move(piece));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return pieces;
}

std::optional<TimePoint> FrameAssembler::staleAt() const {
    if (buffer_.empty()) return std::nullopt;
    return lastByte_ + staleAfter_;
}

bool FrameAssembler::dropStale(TimePoint now) {
    const auto at = staleAt();
    if (!at || now < *at) return false;
    buffer_.clear();
    return true;
}

}  // namespace sim
