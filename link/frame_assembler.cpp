#include "link/frame_assembler.h"

#include <algorithm>
#include <utility>

namespace gimbal {

// The first 55 AA at or after `start`, or a lone trailing 55 (it may begin
// one); the buffer's end when there is neither.
std::size_t FrameAssembler::syncFrom(std::size_t start) const {
    auto it = buffer_.begin() + static_cast<std::ptrdiff_t>(start);
    while (it != buffer_.end()) {
        it = std::find(it, buffer_.end(), kSync1);
        if (it == buffer_.end() || it + 1 == buffer_.end() || *(it + 1) == kSync2) break;
        ++it;
    }
    return static_cast<std::size_t>(it - buffer_.begin());
}

bool FrameAssembler::announcesTooMuch(ByteView rest) const {
    if (rest.size() < kFrameHeaderSize) return false;
    const auto length = readLe16(rest, 4);
    return length && *length > rules_.largestPayload;
}

std::vector<FrameAssembler::Piece> FrameAssembler::push(ByteView chunk, TimePoint now) {
    std::vector<Piece> pieces;
    if (chunk.empty()) return pieces;
    lastByte_ = now;
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    return scan(chunk.size());
}

std::optional<std::size_t> FrameAssembler::soundFrameInside(std::size_t start) const {
    for (std::size_t at = syncFrom(start + 1); at < buffer_.size(); at = syncFrom(at + 1)) {
        const ByteView rest = ByteView(buffer_).subspan(at);
        if (!announcesTooMuch(rest) && checkFrame(rest).status == FrameStatus::Sound) return at;
    }
    return std::nullopt;
}

void FrameAssembler::noteDropped(std::size_t from, std::size_t to) {
    if (!rules_.keepsDropped || from >= to) return;
    dropped_.count += to - from;
    const std::size_t room = kDroppedKept - std::min(kDroppedKept, dropped_.bytes.size());
    const std::size_t kept = std::min(room, to - from);
    dropped_.bytes.insert(dropped_.bytes.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(from),
                          buffer_.begin() + static_cast<std::ptrdiff_t>(from + kept));
}

FrameAssembler::Dropped FrameAssembler::takeDropped() {
    return std::exchange(dropped_, Dropped{});
}

std::vector<FrameAssembler::Piece> FrameAssembler::scan(std::size_t chunkSize) {
    std::vector<Piece> pieces;
    std::size_t start = 0;
    std::size_t keptUntil = 0;  // bytes before it are in a sound frame or noted as dropped
    const auto moveTo = [&](std::size_t to) {
        noteDropped(std::max(keptUntil, start), to);
        keptUntil = std::max(keptUntil, to);
        start = to;
    };
    for (;;) {
        moveTo(syncFrom(start));
        const ByteView rest = ByteView(buffer_).subspan(start);
        if (announcesTooMuch(rest)) {
            moveTo(start + 1);
            continue;
        }
        const FrameCheck check = checkFrame(rest);
        if (check.status == FrameStatus::Incomplete && rules_.yieldsToSoundFrameInside) {
            if (const auto inside = soundFrameInside(start)) {
                moveTo(*inside);
                continue;
            }
        }
        if (check.status == FrameStatus::Incomplete || check.status == FrameStatus::BadSync)
            break;  // BadSync cannot happen after syncFrom; Incomplete waits for more
        const std::size_t size = check.frame.size;
        const std::size_t tailAfter = rest.size() - size;  // bytes after this frame
        Piece piece;
        piece.crcHolds = check.status == FrameStatus::Sound;
        piece.frame.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(size));
        // Counted back from the buffer's end, which is the chunk's end. A frame
        // found inside a damaged one may have ended before this chunk.
        piece.endInChunk = chunkSize > tailAfter ? chunkSize - tailAfter : 0;
        if (piece.crcHolds) keptUntil = std::max(keptUntil, start + size);
        moveTo(start + (piece.crcHolds || !rules_.resyncInsideBadFrames ? size : 1));
        pieces.push_back(std::move(piece));
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    return pieces;
}

std::vector<Bytes> FrameAssembler::feed(ByteView chunk) {
    std::vector<Bytes> frames;
    for (Piece& piece : push(chunk))
        if (piece.crcHolds) frames.push_back(std::move(piece.frame));
    return frames;
}

std::optional<FrameAssembler::TimePoint> FrameAssembler::staleAt() const {
    if (buffer_.empty()) return std::nullopt;
    return lastByte_ + rules_.staleAfter;
}

bool FrameAssembler::dropStale(TimePoint now) {
    const auto at = staleAt();
    if (!at || now < *at) return false;
    noteDropped(0, buffer_.size());
    buffer_.clear();
    return true;
}

}  // namespace gimbal
