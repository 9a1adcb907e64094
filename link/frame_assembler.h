// Cuts a byte stream into frames: skips bytes until 55 AA, waits for the
// whole frame its length field announces, then checks it. A read may hold
// several frames or half of one; each comes out alone, in stream order.
// A partial frame that sees no new byte for a while can be dropped, so a
// stray header cannot wedge a receiver that has no better sign.
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
        // A partial frame is given up as soon as a sound frame lies whole
        // after its sync: it was a stray header, and the frame after it is
        // what the peer sent. Until then it is kept, however slowly the rest
        // of it comes.
        bool yieldsToSoundFrameInside = false;
        // The bytes that end in no sound frame are kept for takeDropped().
        bool keepsDropped = false;
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
    // With Rules::keepsDropped: the bytes given up since the last call
    // (noise, damaged frames, stray headers), at most kDroppedKept of them;
    // `count` says how many there were in all.
    static constexpr std::size_t kDroppedKept = 256;
    struct Dropped {
        Bytes bytes;
        std::size_t count = 0;
    };
    Dropped takeDropped();

private:
    // Takes the frames now whole in the buffer; `chunkSize` is that of the
    // chunk just added (0 for none).
    std::vector<Piece> scan(std::size_t chunkSize);
    std::size_t syncFrom(std::size_t start) const;
    bool announcesTooMuch(ByteView rest) const;
    // Where a sound frame lies whole after the partial frame at `start`, if
    // anywhere.
    std::optional<std::size_t> soundFrameInside(std::size_t start) const;
    // Keeps [from, to) of the buffer as dropped bytes.
    void noteDropped(std::size_t from, std::size_t to);

    Rules rules_;
    Bytes buffer_;  // empty, or starts at a (possible) sync
    TimePoint lastByte_{};
    Dropped dropped_;
};

// A host reading the gimbal's replies. They are short (at most 32 bytes, the
// long announcement), so a header announcing a longer payload is noise, and
// waiting for it would stall the link; a host only waits for a sound reply,
// so it looks inside a damaged frame too. A reply's pieces may come far
// apart (an adapter's latency timer, a network bridge), so a partial reply is
// kept until it is whole, until its CRC fails, or until a sound reply is
// found after it; never dropped for being slow.
class ReplyFrameAssembler final : public FrameAssembler {
public:
    static constexpr std::size_t kLargestReplyPayload = 24;
    static constexpr std::size_t kLargestReply = kLargestReplyPayload + kFrameOverhead;

    ReplyFrameAssembler()
        : FrameAssembler(Rules{.largestPayload = kLargestReplyPayload,
                               .resyncInsideBadFrames = true,
                               .yieldsToSoundFrameInside = true,
                               .keepsDropped = true}) {}
};

}  // namespace gimbal
