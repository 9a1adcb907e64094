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
    // A reader's way with a stale partial frame: its first byte goes and the
    // scan resumes one byte later, as often as what is left is a partial
    // frame that has gone stale too. Answers the frames the rescan completed
    // (a sound one may have followed a stray header).
    std::vector<Piece> skipStale(TimePoint now);
    void reset() { buffer_.clear(); }
    std::size_t buffered() const { return buffer_.size(); }

private:
    // Takes the frames now whole in the buffer; `chunkSize` is that of the
    // chunk just added (0 for none).
    std::vector<Piece> scan(std::size_t chunkSize);
    std::size_t syncFrom(std::size_t start) const;
    bool announcesTooMuch(ByteView rest) const;

    Rules rules_;
    Bytes buffer_;  // empty, or starts at a (possible) sync
    TimePoint lastByte_{};
};

// A host reading the gimbal's replies. They are short (at most 32 bytes, the
// long announcement), so a header announcing a longer payload is noise, and
// waiting for it would stall the link; a host only waits for a sound reply,
// so it looks inside a damaged frame too. The gimbal sends a reply in one
// burst: a partial frame that no byte has extended for a reply's wire time
// and the latency of an adapter or bridge is no frame, and the scan goes on
// one byte after its start (skipStale).
class ReplyFrameAssembler final : public FrameAssembler {
public:
    static constexpr std::size_t kLargestReplyPayload = 24;
    static constexpr std::size_t kLargestReply = kLargestReplyPayload + kFrameOverhead;
    // What a USB adapter's latency timer, a pseudo-terminal or a network
    // bridge may hold back the rest of a burst for.
    static constexpr std::chrono::milliseconds kDeliveryAllowance{200};

    explicit ReplyFrameAssembler(std::uint32_t baud = 115200)
        : FrameAssembler(Rules{.largestPayload = kLargestReplyPayload,
                               .resyncInsideBadFrames = true,
                               .staleAfter = staleAfterFor(baud)}) {}

    // A whole reply's wire time at `baud` (10 bits a byte), plus the allowance.
    static std::chrono::milliseconds staleAfterFor(std::uint32_t baud) {
        const std::uint64_t rate = baud == 0 ? 115200 : baud;
        return kDeliveryAllowance + std::chrono::milliseconds((kLargestReply * 10 * 1000 + rate - 1) / rate);
    }
};

}  // namespace gimbal
