#include "link/firmware_file.h"

namespace gimbal {

std::optional<FirmwareHeader> readFirmwareHeader(ByteView file) {
    if (file.size() < kFirmwareHeaderSize) return std::nullopt;
    FirmwareHeader header;
    header.storedCrc = *readLe16(file, kStoredCrcOffset);
    for (std::size_t i = 0; i < kImageCount; ++i) header.counts[i] = *readLe16(file, kBlockCountOffsets[i]);
    return header;
}

std::optional<std::uint16_t> computeFirmwareCrc(ByteView file, const Ccrc& engine) {
    if (file.size() < 2) return std::nullopt;
    return frameCrc(file.subspan(2), engine);
}

bool firmwareCrcHolds(ByteView file, const Ccrc& engine) {
    const auto computed = computeFirmwareCrc(file, engine);
    return computed && *computed == *readLe16(file, kStoredCrcOffset);
}

std::uint64_t imageOffset(const BlockCounts& counts, std::size_t image, std::uint64_t blockSize) {
    std::uint64_t blocksBefore = 0;
    for (std::size_t i = 0; i < image && i < kImageCount; ++i) blocksBefore += counts[i];
    return kFirmwareHeaderSize + blocksBefore * blockSize;
}

std::uint64_t blockOffset(const BlockCounts& counts, std::size_t image, std::uint64_t block, std::uint64_t blockSize) {
    return imageOffset(counts, image, blockSize) + block * blockSize;
}

std::uint64_t imagesEnd(const BlockCounts& counts, std::uint64_t blockSize) {
    return imageOffset(counts, kImageCount, blockSize);
}

std::optional<ByteView> sliceAt(ByteView file, std::uint64_t offset, std::uint64_t size) {
    if (offset > file.size() || size > file.size() - offset) return std::nullopt;
    return file.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
}

Bytes composeFirmwareFile(const std::array<Bytes, kImageCount>& images, std::size_t blockSize, ByteView trailing) {
    if (blockSize == 0) return {};
    Bytes file(kFirmwareHeaderSize, 0);
    for (std::size_t i = 0; i < kImageCount; ++i) {
        const Bytes& image = images[i];
        const std::size_t blocks = image.size() / blockSize;
        if (image.size() % blockSize != 0 || blocks > 0xFFFF) return {};
        file[kBlockCountOffsets[i]] = static_cast<std::uint8_t>(blocks & 0xFF);
        file[kBlockCountOffsets[i] + 1] = static_cast<std::uint8_t>(blocks >> 8);
        file.insert(file.end(), image.begin(), image.end());
    }
    file.insert(file.end(), trailing.begin(), trailing.end());
    const std::uint16_t crc = *computeFirmwareCrc(file);
    file[0] = static_cast<std::uint8_t>(crc & 0xFF);
    file[1] = static_cast<std::uint8_t>(crc >> 8);
    return file;
}

}  // namespace gimbal
