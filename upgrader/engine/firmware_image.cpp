#include "upgrader/engine/firmware_image.h"

#include "link/firmware_file.h"
#include "link/regular_file.h"

namespace engine {

namespace {

std::int64_t unsignedCount(const Bytes& bytes, std::size_t offset) {
    const auto raw = gimbal::readLe16(bytes, offset);
    return raw ? static_cast<std::int64_t>(*raw) : 0;
}

LoadResult unreadable(const gimbal::FileRefusal& why) {
    LoadResult r;
    r.error = LoadError::Unreadable;
    r.detail = gimbal::refusalText(why);
    return r;
}

}  // namespace

PageCounts readPageCounts(const Bytes& binbytes) {
    PageCounts counts{};
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = unsignedCount(binbytes, gimbal::kBlockCountOffsets[i]);
    return counts;
}

LoadResult loadFirmwareImage(const std::string& filepath) {
    Bytes bytes;
    if (const gimbal::FileRefusal why = gimbal::readRegularFile(filepath, gimbal::kMaxFirmwareFileSize, bytes))
        return unreadable(why);
    LoadResult r;
    if (bytes.size() < gimbal::kFirmwareHeaderSize) {
        r.error = LoadError::TooShort;
        return r;
    }
    LoadedImage image;
    image.pageCount = readPageCounts(bytes);
    image.binbytes = std::move(bytes);
    r.image = std::move(image);
    return r;
}

std::int64_t pagesSentFor(const PageCounts& counts) {
    std::int64_t pages = 0;
    for (std::int64_t c : counts) pages += c;
    return pages;
}

bool imageHoldsEveryPage(const LoadedImage& image) {
    const std::int64_t size = static_cast<std::int64_t>(image.binbytes.size());
    return kFirstPageOffset + kPageSize * pagesSentFor(image.pageCount) <= size;
}

std::optional<ImageRefusal> imageRefusal(const LoadedImage& image) {
    for (std::size_t m = 0; m < image.pageCount.size(); ++m)
        if (image.pageCount[m] <= 0) return ImageRefusal{ImageRefusal::Kind::EmptyMCU, static_cast<std::int64_t>(m)};
    if (!imageHoldsEveryPage(image)) return ImageRefusal{ImageRefusal::Kind::ShorterThanCounts, 0};
    return std::nullopt;
}

std::string refusalText(const ImageRefusal& refusal) {
    switch (refusal.kind) {
        case ImageRefusal::Kind::EmptyMCU:
            return "MCU " + std::to_string(refusal.mcu) +
                   " has a page count of 0, which the upgrade cannot send (each MCU needs at least one page)";
        case ImageRefusal::Kind::ShorterThanCounts:
            return "the firmware image is shorter than its page counts say; nothing was sent";
    }
    return {};
}

std::int64_t trailingBytes(const Bytes& binbytes, const PageCounts& counts) {
    const std::int64_t end = kFirstPageOffset + kPageSize * pagesSentFor(counts);
    const std::int64_t size = static_cast<std::int64_t>(binbytes.size());
    return size > end ? size - end : 0;
}

std::optional<std::string> trailingBytesWarning(const Bytes& binbytes, const PageCounts& counts) {
    const std::int64_t extra = trailingBytes(binbytes, counts);
    if (extra <= 0) return std::nullopt;
    return "the firmware image has " + std::to_string(extra) + (extra == 1 ? " byte" : " bytes") +
           " after MCU 2's last page; " + (extra == 1 ? "it is" : "they are") + " not sent";
}

std::string loadErrorText(const LoadResult& result) {
    return result.error == LoadError::TooShort ? "too short for a firmware image (under 8 bytes)" : result.detail;
}

std::optional<Bytes> cutPage(const Bytes& binbytes, std::int64_t offset, std::int64_t size) {
    if (offset < 0 || size < 0) return std::nullopt;
    const auto page = gimbal::sliceAt(binbytes, static_cast<std::uint64_t>(offset), static_cast<std::uint64_t>(size));
    if (!page) return std::nullopt;
    return Bytes(page->begin(), page->end());
}

}  // namespace engine
