// The gimbal's boot firmware as both tools meet it: what it announces and how
// it answers each sound frame addressed to it. No I/O and no clock here: the
// worker decides when (and whether) anything goes out.
//
// Thread contract: plain value type, used by the simulator's worker only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/gimbal_sim.h"

namespace sim {

// An acknowledgement the gimbal owes.
struct OwedReply {
    std::uint8_t command = 0;  // 0x03 or 0x08
    std::uint16_t index = 0;   // acknowledged block (0 for a switch)
    std::size_t segment = 0;   // segment of the frame answered (a switch: the one it ends)
    Bytes frame;
};

struct FrameOutcome {
    enum class Kind { Enter, Block, Switch, Other };
    Kind kind = Kind::Other;
    bool malformed = false;  // sound, but not what this dialect's host sends
    std::optional<BlockRecord> block;
    std::optional<OwedReply> reply;
};

class GimbalProtocol {
public:
    explicit GimbalProtocol(const Options& options);

    // A sound frame with the gimbal's address.
    FrameOutcome take(std::uint8_t command, std::span<const std::uint8_t> payload);

    bool announcing() const { return !answered_; }
    Bytes announcement() const;
    std::size_t segment() const { return segment_; }
    // The upgrade under way (from 0), what began it, and its MCU / image.
    std::size_t run() const { return run_; }
    RunStart runStart() const { return runStart_; }
    std::size_t runSegment() const { return runSegment_; }
    // The adapter was unplugged or the port closed: the gimbal boots again
    // and announces until answered. Segments keep counting: segment() is the
    // number of switch requests taken, and what was recorded stays put.
    void reboot() { answered_ = false; }
    // The firmware announced from the next announcement on.
    void setVersion(std::uint16_t version) { version_ = version; }
    // The run has switched to its last MCU / image.
    bool inLastSegment() const;

private:
    FrameOutcome takeBlock(std::span<const std::uint8_t> payload);
    FrameOutcome takeSwitch(std::span<const std::uint8_t> payload);
    void beginRun(RunStart start);

    Dialect dialect_;
    std::uint16_t announcedBlockSize_;
    std::uint16_t version_;
    bool longAnnouncement_;
    bool answered_ = false;
    std::size_t segment_ = 0;
    std::size_t run_ = 0;
    RunStart runStart_ = RunStart::First;
    std::size_t runSegment_ = 0;
    bool runTookFrames_ = false;     // a block or switch belongs to this run
    bool segmentPastFirst_ = false;  // this MCU / image took a block other than 0
};

}  // namespace sim
