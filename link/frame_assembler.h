// Cuts a byte stream into frames: skips bytes until 55 AA, waits for the
// whole frame its length field announces, then checks it. A read may hold
// several frames or half of one; each comes out alone, in stream order.
// A partial frame that sees no new byte for a while can be dropped, so a
// stray header cannot wedge the receiver.
//
// Thread contract: plain value type, used by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/frame.h"

namespace gimbal {

class FrameAssembler {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // How the stream's damage is met. The defaults take every frame the
    // envelope allows and skip a frame whose CRC fails whole.
    struct Rules {
        // A header announcing a longer payload is noise that happens to hold
        // 55 AA: the search goes on at its next byte rather than waiting.
        std::size_t largestPayload = kMaxPayload;
        // After a frame whose CRC fails, search on from the byte after its
        // sync instead of after the frame: its length field may be the byte
        // that broke, and then it swallowed sound frames.
        bool resyncInsideBadFrames = false;
        std::chrono::milliseconds staleAfter = std::chrono::seconds(1);
    };

    struct Piece {
        bool crcHolds = false;
        Bytes frame;                 // the whole frame, sync to CRC
        std::size_t endInChunk = 0;  // bytes of the pushed chunk up to its end
    };

    FrameAssembler() = default;
    explicit FrameAssembler(Rules rules) : rules_(rules) {}

    // Takes the next chunk of the stream, read at `now`; answers the frames
    // it completed, in order, those whose CRC fails included.
    std::vector<Piece> push(ByteView chunk, TimePoint now = {});
    // The same for a reader that wants only the sound frames.
    std::vector<Bytes> feed(ByteView chunk);

    // When the partial frame held now would go stale; none when nothing is held.
    std::optional<TimePoint> staleAt() const;
    // Drops the partial frame if it has gone stale by `now`; true if it did.
    bool dropStale(TimePoint now);
    void reset() { buffer_.clear(); }
    std::size_t buffered() const { return buffer_.size(); }

private:
    std::size_t syncFrom(std::size_t start) const;
    bool announcesTooMuch(ByteView rest) const;

    Rules rules_;
    Bytes buffer_;  // empty, or starts at a (possible) sync
    TimePoint lastByte_{};
};

// A host reading the gimbal's replies. They are short, so a header announcing
// more than 1 KiB is noise, and waiting for it would stall the link; and a
// host only waits for a sound reply, so it looks inside a damaged frame too.
class ReplyFrameAssembler final : public FrameAssembler {
public:
    static constexpr std::size_t kLargestReplyPayload = 1024;

    ReplyFrameAssembler()
        : FrameAssembler(Rules{.largestPayload = kLargestReplyPayload, .resyncInsideBadFrames = true}) {}
};

}  // namespace gimbal
