#include "upgrader/engine/dialect.h"

namespace engine {

Dialect Dialect::pages() {
    Dialect d;
    d.blockFailText = "send Failed";
    d.switchFailText = "send Failed";
    d.completeText = "Upgrade Complete!!";
    return d;
}

// The gimbal resends nothing by itself: three sends about 3 s apart ride out a
// lost frame or a lost acknowledgement without waiting half a minute.
Dialect Dialect::threeAxis() {
    Dialect d;
    d.kind = Kind::ThreeAxis;
    d.blockSizeAnnounced = true;
    d.answersAfterFirstBlock = false;
    d.switchCarriesSlaveByte = true;
    d.sendsPerBlock = 3;
    d.answerWait = std::chrono::milliseconds(3000);
    d.acknowledgementMustNameBlock = true;
    d.emptyImagesAllowed = true;
    d.blockFailText = "SEND FAIL";
    d.switchFailText = "SLAVE SET FAILE!";
    d.completeText = "SEND OK";
    return d;
}

const char* Dialect::name() const {
    return kind == Kind::Pages ? "pages" : "three-axis";
}

const char* Dialect::unit() const {
    return kind == Kind::Pages ? "page" : "block";
}

std::string Dialect::segmentName(std::int64_t segment) const {
    return kind == Kind::Pages ? "MCU " + std::to_string(segment) : "image " + std::to_string(segment + 1);
}

std::string Dialect::place(std::int64_t segment, std::int64_t block) const {
    return std::string(unit()) + " " + std::to_string(block) + " of " + segmentName(segment);
}

std::optional<std::string> blockSizeRefusal(std::int64_t blockSize) {
    if (blockSize <= 0)
        return "the gimbal announced a block size of 0 bytes, which cannot carry firmware; nothing was sent";
    if (blockSize > kMaxAnnouncedBlockSize)
        return "the gimbal announced a block size of " + std::to_string(blockSize) +
               " bytes, above the largest accepted (" + std::to_string(kMaxAnnouncedBlockSize) +
               " bytes); nothing was sent";
    return std::nullopt;
}

std::optional<std::string> blockFitRefusal(const LoadedImage& image, std::int64_t blockSize) {
    const std::int64_t blocks = pagesSentFor(image.pageCount);
    const std::int64_t size = static_cast<std::int64_t>(image.binbytes.size());
    const std::int64_t needed = kFirstPageOffset + blocks * blockSize;
    const std::string counts = "its block counts (" + std::to_string(image.pageCount[0]) + ", " +
                               std::to_string(image.pageCount[1]) + ", " + std::to_string(image.pageCount[2]) + ")";
    if (size < needed)
        return "the firmware file has " + std::to_string(size) + " bytes, but " + counts +
               " in blocks of the announced " + std::to_string(blockSize) + " bytes call for " +
               std::to_string(needed) + ": it was built for another block size; nothing was sent";
    // Padding after the last block is allowed; a file that blocks of another
    // usual size (a power of two) fill exactly is not padded but misbuilt.
    const std::int64_t body = size - kFirstPageOffset;
    const std::int64_t other = blocks > 0 && body % blocks == 0 ? body / blocks : blockSize;
    if (other != blockSize && (other & (other - 1)) == 0)
        return "the firmware file is built for blocks of " + std::to_string(other) + " bytes (" + counts +
               " fill it exactly), but the gimbal announced blocks of " + std::to_string(blockSize) +
               " bytes; nothing was sent";
    return std::nullopt;
}

}  // namespace engine
