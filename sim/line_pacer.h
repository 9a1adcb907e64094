// Wire timing of a UART at a given baud rate, 10 bits per byte (start, 8 data,
// stop), one model per direction since the line is full duplex. With baud 0
// the line takes no time and every answer is "now".
//
// Thread contract: plain value type, used by the simulator's worker only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/sim_clock.h"

namespace sim {

class LinePacer {
public:
    explicit LinePacer(std::uint32_t baud = 0) : baud_(baud) {}

    bool paced() const { return baud_ > 0; }
    // Time `bytes` bytes take on the wire.
    Nanos wireTime(std::size_t bytes) const;

    // Receive side: `bytes` bytes were read at `now`. They cannot have arrived
    // faster than the wire carries them, so they start arriving when both the
    // read happened and the bytes before them are through. Returns when the
    // first of them starts; byte k (0-based) has arrived at start + wireTime(k+1).
    TimePoint receive(TimePoint now, std::size_t bytes);

    // Transmit side: a write of `bytes` bytes is ready at `ready`. Reserves the
    // line behind whatever is already on it and returns when its last byte
    // would have arrived at the far end, the moment to hand it to the pty.
    TimePoint reserveTransmit(TimePoint ready, std::size_t bytes);

    // Both directions idle (a new client on the line).
    void reset();

private:
    std::uint32_t baud_;
    TimePoint rxFree_{};
    TimePoint txFree_{};
};

}  // namespace sim
