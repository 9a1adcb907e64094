// Layout of the firmware file both tools read: an 8-byte header (stored CRC,
// three block counts, all LE16) and three images of whole blocks from offset 8.
// How each tool reads the counts and whether it checks the CRC is the tool's
// own business; this only knows where things are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "link/frame.h"

namespace gimbal {

inline constexpr std::size_t kFirmwareHeaderSize = 8;
inline constexpr std::size_t kImageCount = 3;
inline constexpr std::size_t kStoredCrcOffset = 0;
inline constexpr std::array<std::size_t, kImageCount> kBlockCountOffsets{2, 4, 6};
// The desktop upgrader's fixed block (page) size, and the updater's default.
inline constexpr std::size_t kDefaultBlockSize = 1024;

// The largest file a header can describe with 1024-byte blocks: three
// images of 65535 blocks. Larger files are refused before being read.
inline constexpr std::uint64_t kMaxFirmwareFileSize = kFirmwareHeaderSize + kImageCount * 0xFFFFull * kDefaultBlockSize;

using BlockCounts = std::array<std::uint16_t, kImageCount>;

struct FirmwareHeader {
    std::uint16_t storedCrc = 0;
    BlockCounts counts{};
};

// nullopt when the file is shorter than the header.
std::optional<FirmwareHeader> readFirmwareHeader(ByteView file);

// CRC over every byte from offset 2 to the end; nullopt for a file too short
// to hold the stored CRC.
std::optional<std::uint16_t> computeFirmwareCrc(ByteView file, const Ccrc& engine = linkCrc());
// True when the file holds a stored CRC and it matches.
bool firmwareCrcHolds(ByteView file, const Ccrc& engine = linkCrc());

// Offsets in 64-bit arithmetic, so no header can make them wrap.
std::uint64_t imageOffset(const BlockCounts& counts, std::size_t image, std::uint64_t blockSize);
std::uint64_t blockOffset(const BlockCounts& counts, std::size_t image, std::uint64_t block, std::uint64_t blockSize);
// Where the header says the third image ends.
std::uint64_t imagesEnd(const BlockCounts& counts, std::uint64_t blockSize);

// The `size` bytes at `offset`, when they lie whole inside `file`.
std::optional<ByteView> sliceAt(ByteView file, std::uint64_t offset, std::uint64_t size);

// Builds a file from three images (each a whole number of blocks, at most
// 65535 of them) and optional trailing bytes, with the stored CRC filled in.
// Empty when an image does not fit the layout. Neither tool writes such files;
// tests and demos do.
Bytes composeFirmwareFile(const std::array<Bytes, kImageCount>& images, std::size_t blockSize, ByteView trailing = {});

}  // namespace gimbal
