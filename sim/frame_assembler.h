// Cuts the byte stream the gimbal receives into frames: skips bytes until
// 55 AA, waits for the whole frame its length field announces, then checks it.
// A frame whose CRC fails is skipped whole; a partial frame that sees no new
// byte for a while is dropped, so a stray header cannot wedge the receiver.
//
// Thread contract: plain value type, used by the simulator's worker only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/sim_clock.h"

namespace sim {

class FrameAssembler {
public:
    struct Piece {
        bool crcHolds = false;
        std::vector<std::uint8_t> frame;  // the whole frame, sync to CRC
        std::size_t endInChunk = 0;       // bytes of the pushed chunk up to its end
    };

    explicit FrameAssembler(std::chrono::milliseconds staleAfter = std::chrono::seconds(1))
        : staleAfter_(staleAfter) {}

    // Takes the next chunk of the stream, read at `now`; returns the frames it
    // completed, in order.
    std::vector<Piece> push(std::span<const std::uint8_t> chunk, TimePoint now);

    // When the partial frame held now would go stale; none when nothing is held.
    std::optional<TimePoint> staleAt() const;
    // Drops the partial frame if it has gone stale by `now`; true if it did.
    bool dropStale(TimePoint now);
    void reset() { buffer_.clear(); }
    std::size_t buffered() const { return buffer_.size(); }

private:
    void skipToSync();

    std::chrono::milliseconds staleAfter_;
    std::vector<std::uint8_t> buffer_;  // empty, or starts at a (possible) sync
    TimePoint lastByte_{};
};

}  // namespace sim
