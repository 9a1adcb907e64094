#include "upgrader/engine/firmware_image.h"

#include "link/firmware_file.h"
#include "link/regular_file.h"

namespace engine {

namespace {

std::int64_t signedCount(const Bytes& bytes, std::size_t offset) {
    const auto raw = gimbal::readLe16(bytes, offset);
    return raw ? static_cast<std::int16_t>(*raw) : 0;
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
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = signedCount(binbytes, gimbal::kBlockCountOffsets[i]);
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
    for (std::int64_t c : counts) pages += c > 0 ? c : 1;
    return pages;
}

bool imageHoldsEveryPage(const LoadedImage& image) {
    const std::int64_t size = static_cast<std::int64_t>(image.binbytes.size());
    return kFirstPageOffset + kPageSize * pagesSentFor(image.pageCount) <= size;
}

std::optional<ImageRefusal> imageRefusal(const LoadedImage& image) {
    std::int64_t total = 0;
    for (const std::int64_t c : image.pageCount) total += c;
    if (total <= 0) return ImageRefusal::NoPages;
    if (!imageHoldsEveryPage(image)) return ImageRefusal::ShorterThanCounts;
    return std::nullopt;
}

std::string refusalText(ImageRefusal refusal) {
    switch (refusal) {
        case ImageRefusal::NoPages:
            return "the firmware image has no pages to send";
        case ImageRefusal::ShorterThanCounts:
            return "the firmware image is shorter than its page counts say; nothing was sent";
    }
    return {};
}

std::string loadErrorText(const LoadResult& result) {
    return result.error == LoadError::TooShort ? "too short for a firmware image (under 8 bytes)" : result.detail;
}

std::optional<Bytes> cutPage(const Bytes& binbytes, std::int64_t offset) {
    if (offset < 0) return std::nullopt;
    const auto page = gimbal::sliceAt(binbytes, static_cast<std::uint64_t>(offset), kPageSize);
    if (!page) return std::nullopt;
    return Bytes(page->begin(), page->end());
}

}  // namespace engine
