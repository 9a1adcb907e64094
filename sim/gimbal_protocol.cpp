#include "sim/gimbal_protocol.h"

#include "link/firmware_file.h"
#include "link/frame.h"

namespace sim {

using gimbal::Command;
using gimbal::commandByte;

namespace {
// Both tools send three MCUs / images: two switches make a run's last one.
constexpr std::size_t kLastSegment = 2;
}  // namespace

void GimbalProtocol::beginRun(RunStart start) {
    ++run_;
    runStart_ = start;
    runSegment_ = 0;
    runTookFrames_ = false;
    segmentPastFirst_ = false;
}

bool GimbalProtocol::inLastSegment() const {
    return runSegment_ >= kLastSegment;
}

GimbalProtocol::GimbalProtocol(const Options& options)
    : dialect_(options.dialect),
      // The desktop upgrader's pages are always 1024 bytes, whatever is asked for.
      announcedBlockSize_(options.dialect == Dialect::Pages ? static_cast<std::uint16_t>(gimbal::kDefaultBlockSize)
                                                            : options.blockSize),
      version_(options.version),
      longAnnouncement_(options.longAnnouncement) {}

Bytes GimbalProtocol::announcement() const {
    return gimbal::announcementFrame(announcedBlockSize_, version_, longAnnouncement_);
}

FrameOutcome GimbalProtocol::take(std::uint8_t command, std::span<const std::uint8_t> payload) {
    if (command == commandByte(Command::LinkReply)) {
        // Only the answer to a fresh gimbal: a tool answers every announcement,
        // and one already on its way when the first answer came is no new run.
        if (!answered_ && runTookFrames_) beginRun(RunStart::EnterRequest);
        answered_ = true;
        FrameOutcome outcome;
        outcome.kind = FrameOutcome::Kind::Enter;
        outcome.malformed = !payload.empty();
        return outcome;
    }
    if (command == commandByte(Command::Block)) return takeBlock(payload);
    if (command == commandByte(Command::SwitchSlave)) return takeSwitch(payload);
    FrameOutcome other;  // run, or a gimbal-side command: neither host sends them here
    other.malformed = true;
    return other;
}

FrameOutcome GimbalProtocol::takeBlock(std::span<const std::uint8_t> payload) {
    FrameOutcome outcome;
    outcome.kind = FrameOutcome::Kind::Block;
    const auto index = gimbal::readLe16(payload, 0);
    if (!index) {  // no index to acknowledge or file the data under
        outcome.malformed = true;
        return outcome;
    }
    const std::size_t expected = announcedBlockSize_ + gimbal::kBlockPrefixSize;
    const bool prefixSound = payload.size() >= gimbal::kBlockPrefixSize && payload[2] == 0 && payload[3] == 0;
    outcome.malformed = payload.size() != expected || !prefixSound;
    // A tool starts its first image again on a port it kept open; no tool
    // goes back to block 0 of its last image once past it.
    if (*index == 0 && runSegment_ >= kLastSegment && segmentPastFirst_) beginRun(RunStart::FirstBlockAgain);
    runTookFrames_ = true;
    if (*index != 0) segmentPastFirst_ = true;
    BlockRecord record;
    record.segment = segment_;
    record.index = *index;
    record.run = run_;
    record.runSegment = runSegment_;
    if (payload.size() > gimbal::kBlockPrefixSize)
        record.data.assign(payload.begin() + gimbal::kBlockPrefixSize, payload.end());
    outcome.block = std::move(record);
    outcome.reply = OwedReply{commandByte(Command::BlockAck), *index, segment_, gimbal::blockAckFrame(*index)};
    return outcome;
}

FrameOutcome GimbalProtocol::takeSwitch(std::span<const std::uint8_t> payload) {
    FrameOutcome outcome;
    outcome.kind = FrameOutcome::Kind::Switch;
    const bool expected = dialect_ == Dialect::Pages ? payload.empty() : payload.size() == 1 && payload[0] == 0x01;
    outcome.malformed = !expected;
    outcome.reply = OwedReply{commandByte(Command::SwitchAck), 0, segment_, gimbal::switchAckFrame()};
    ++segment_;
    ++runSegment_;
    runTookFrames_ = true;
    segmentPastFirst_ = false;
    return outcome;
}

}  // namespace sim
