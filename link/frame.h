// The serial frame envelope both tools share with the gimbal, its command
// table, and builders and a soundness check for frames.
//
// 55 AA | address | command | length n (LE16) | n payload bytes | CRC (LE16)
// The CRC (CRC-16/CCITT-FALSE) covers address through payload. Nothing is
// escaped: the length field alone delimits a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "link/crc.h"

namespace gimbal {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::uint8_t kSync1 = 0x55;
inline constexpr std::uint8_t kSync2 = 0xAA;
// Every frame either tool sends carries this address, and both act only on
// received frames that carry it.
inline constexpr std::uint8_t kHostAddress = 0x00;
inline constexpr std::size_t kFrameHeaderSize = 6;  // sync x2, address, command, length
inline constexpr std::size_t kFrameOverhead = 8;    // header + CRC
inline constexpr std::size_t kMaxPayload = 0xFFFF;
// A block frame's payload starts with the block index and two zero bytes.
inline constexpr std::size_t kBlockPrefixSize = 4;
inline constexpr std::size_t kMaxBlockData = kMaxPayload - kBlockPrefixSize;

enum class Command : std::uint8_t {
    LinkAnnouncement = 0x00,  // gimbal -> host: block size (LE16), firmware version (LE16)
    LinkReply = 0x01,         // host -> gimbal: enter upgrade mode; empty
    Block = 0x02,             // host -> gimbal: index (LE16), 00 00, block data
    BlockAck = 0x03,          // gimbal -> host: index (LE16) of the block received
    Run = 0x06,               // host -> gimbal: run; empty; built but never sent
    SwitchSlave = 0x07,       // host -> gimbal: switch to the next MCU (slave)
    SwitchAck = 0x08,         // gimbal -> host: switch acknowledged; payload not read
};

constexpr std::uint8_t commandByte(Command c) {
    return static_cast<std::uint8_t>(c);
}

// Little-endian 16-bit field at `offset`; nullopt when it lies outside `bytes`.
std::optional<std::uint16_t> readLe16(ByteView bytes, std::size_t offset);

// CRC of the checked part of a frame (address through payload).
std::uint16_t frameCrc(ByteView addressThroughPayload, const Ccrc& engine = linkCrc());

// Writes a whole frame at the start of `out` and returns its length, or 0
// (writing nothing) when the payload is longer than 65535 bytes or the frame
// does not fit `out`.
std::size_t writeFrame(std::span<std::uint8_t> out, std::uint8_t address, std::uint8_t command, ByteView payload,
                       const Ccrc& engine = linkCrc());
Bytes buildFrame(std::uint8_t address, std::uint8_t command, ByteView payload, const Ccrc& engine = linkCrc());

// Firmware block frame (command 0x02, address 0): n + 12 bytes. Returns 0 /
// an empty vector when the block does not fit.
std::size_t writeBlockFrame(std::span<std::uint8_t> out, std::uint16_t index, ByteView data,
                            const Ccrc& engine = linkCrc());
Bytes buildBlockFrame(std::uint16_t index, ByteView data, const Ccrc& engine = linkCrc());

// The fixed frames of the protocol.
Bytes linkReplyFrame();       // 55 AA 00 01 00 00 F0 B3
Bytes upgraderSwitchFrame();  // 55 AA 00 07 00 00 50 01 (desktop upgrader)
Bytes updaterSwitchFrame();   // 55 AA 00 07 01 00 01 30 67 (three-axis updater)
Bytes runFrame();             // 55 AA 00 06 00 00 60 36
// Gimbal side. The long announcement pads the payload to 24 bytes (32-byte
// frame); the padding means nothing to either tool.
Bytes announcementFrame(std::uint16_t blockSize, std::uint16_t version, bool longForm = false);
Bytes blockAckFrame(std::uint16_t index);
Bytes switchAckFrame();

// A frame found at the start of a byte run. `payload` points into that run.
struct FrameView {
    std::uint8_t address = 0;
    std::uint8_t command = 0;
    ByteView payload;
    std::uint16_t storedCrc = 0;
    std::size_t size = 0;  // payload + 8
};

enum class FrameStatus {
    Sound,       // sync, length and CRC hold
    Incomplete,  // the run ends before the frame its header announces
    BadSync,     // does not start 55 AA
    BadCrc,      // whole, but the stored CRC does not match
};

struct FrameCheck {
    FrameStatus status = FrameStatus::Incomplete;
    FrameView frame;  // filled for Sound and BadCrc
};

// Checks the frame at the start of `bytes`; bytes after it are ignored.
FrameCheck checkFrame(ByteView bytes, const Ccrc& engine = linkCrc());

}  // namespace gimbal
