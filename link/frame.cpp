#include "link/frame.h"

#include <algorithm>
#include <array>

namespace gimbal {

std::optional<std::uint16_t> readLe16(ByteView bytes, std::size_t offset) {
    if (offset >= bytes.size() || bytes.size() - offset < 2) return std::nullopt;
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint16_t frameCrc(ByteView addressThroughPayload, const Ccrc& engine) {
    return static_cast<std::uint16_t>(engine.crctablefast(addressThroughPayload.data(), addressThroughPayload.size()));
}

std::size_t writeFrame(std::span<std::uint8_t> out, std::uint8_t address, std::uint8_t command, ByteView payload,
                       const Ccrc& engine) {
    const std::size_t n = payload.size();
    if (n > kMaxPayload || out.size() < n + kFrameOverhead) return 0;
    out[0] = kSync1;
    out[1] = kSync2;
    out[2] = address;
    out[3] = command;
    out[4] = static_cast<std::uint8_t>(n & 0xFF);
    out[5] = static_cast<std::uint8_t>(n >> 8);
    std::copy(payload.begin(), payload.end(), out.begin() + kFrameHeaderSize);
    const std::uint16_t crc = frameCrc(out.subspan(2, n + 4), engine);
    out[kFrameHeaderSize + n] = static_cast<std::uint8_t>(crc & 0xFF);
    out[kFrameHeaderSize + n + 1] = static_cast<std::uint8_t>(crc >> 8);
    return n + kFrameOverhead;
}

Bytes buildFrame(std::uint8_t address, std::uint8_t command, ByteView payload, const Ccrc& engine) {
    if (payload.size() > kMaxPayload) return {};
    Bytes frame(payload.size() + kFrameOverhead);
    writeFrame(frame, address, command, payload, engine);
    return frame;
}

std::size_t writeBlockFrame(std::span<std::uint8_t> out, std::uint16_t index, ByteView data, const Ccrc& engine) {
    const std::size_t n = data.size();
    if (n > kMaxBlockData || out.size() < n + kBlockPrefixSize + kFrameOverhead) return 0;
    // Assemble the payload in place so no copy of the block is needed.
    const std::size_t payloadLen = n + kBlockPrefixSize;
    out[0] = kSync1;
    out[1] = kSync2;
    out[2] = kHostAddress;
    out[3] = commandByte(Command::Block);
    out[4] = static_cast<std::uint8_t>(payloadLen & 0xFF);
    out[5] = static_cast<std::uint8_t>(payloadLen >> 8);
    out[6] = static_cast<std::uint8_t>(index & 0xFF);
    out[7] = static_cast<std::uint8_t>(index >> 8);
    out[8] = 0;
    out[9] = 0;
    std::copy(data.begin(), data.end(), out.begin() + 10);
    const std::uint16_t crc = frameCrc(out.subspan(2, payloadLen + 4), engine);
    out[10 + n] = static_cast<std::uint8_t>(crc & 0xFF);
    out[11 + n] = static_cast<std::uint8_t>(crc >> 8);
    return n + kBlockPrefixSize + kFrameOverhead;
}

Bytes buildBlockFrame(std::uint16_t index, ByteView data, const Ccrc& engine) {
    if (data.size() > kMaxBlockData) return {};
    Bytes frame(data.size() + kBlockPrefixSize + kFrameOverhead);
    writeBlockFrame(frame, index, data, engine);
    return frame;
}

namespace {

Bytes hostFrame(Command c, ByteView payload = {}) {
    return buildFrame(kHostAddress, commandByte(c), payload);
}

}  // namespace

Bytes linkReplyFrame() {
    return hostFrame(Command::LinkReply);
}
Bytes upgraderSwitchFrame() {
    return hostFrame(Command::SwitchSlave);
}

Bytes updaterSwitchFrame() {
    const std::array<std::uint8_t, 1> payload{0x01};
    return hostFrame(Command::SwitchSlave, payload);
}

Bytes runFrame() {
    return hostFrame(Command::Run);
}

Bytes announcementFrame(std::uint16_t blockSize, std::uint16_t version, bool longForm) {
    Bytes payload(longForm ? 24 : 4, 0);
    payload[0] = static_cast<std::uint8_t>(blockSize & 0xFF);
    payload[1] = static_cast<std::uint8_t>(blockSize >> 8);
    payload[2] = static_cast<std::uint8_t>(version & 0xFF);
    payload[3] = static_cast<std::uint8_t>(version >> 8);
    return hostFrame(Command::LinkAnnouncement, payload);
}

Bytes blockAckFrame(std::uint16_t index) {
    const std::array<std::uint8_t, 2> payload{static_cast<std::uint8_t>(index & 0xFF),
                                              static_cast<std::uint8_t>(index >> 8)};
    return hostFrame(Command::BlockAck, payload);
}

Bytes switchAckFrame() {
    return hostFrame(Command::SwitchAck);
}

FrameCheck checkFrame(ByteView bytes, const Ccrc& engine) {
    FrameCheck result;
    if (bytes.size() >= 1 && bytes[0] != kSync1) result.status = FrameStatus::BadSync;
    if (bytes.size() >= 2 && bytes[1] != kSync2) result.status = FrameStatus::BadSync;
    if (result.status == FrameStatus::BadSync) return result;
    const auto length = readLe16(bytes, 4);
    if (!length || bytes.size() < *length + kFrameOverhead) return result;  // Incomplete

    FrameView& f = result.frame;
    f.address = bytes[2];
    f.command = bytes[3];
    f.payload = bytes.subspan(kFrameHeaderSize, *length);
    f.storedCrc = *readLe16(bytes, kFrameHeaderSize + *length);
    f.size = *length + kFrameOverhead;
    const bool crcHolds = frameCrc(bytes.subspan(2, *length + 4), engine) == f.storedCrc;
    result.status = crcHolds ? FrameStatus::Sound : FrameStatus::BadCrc;
    return result;
}

}  // namespace gimbal
