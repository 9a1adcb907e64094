// The desktop upgrader's reading of a firmware image: the whole file in
// memory, three page counts taken as signed 16-bit numbers, and 1024-byte
// pages cut at an offset the sequencer keeps.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine {

using Bytes = std::vector<std::uint8_t>;
using PageCounts = std::array<std::int64_t, 3>;

inline constexpr std::int64_t kPageSize = 1024;
inline constexpr std::int64_t kFirstPageOffset = 8;

struct LoadedImage {
    Bytes binbytes;
    PageCounts pageCount{};
};

enum class LoadError {
    Unreadable,  // missing, no permission, read error, not a regular file, larger than a header can describe
    TooShort,    // empty, or shorter than the 8-byte header
};

struct LoadResult {
    std::optional<LoadedImage> image;
    LoadError error = LoadError::Unreadable;
    std::string detail;  // why an unreadable file is refused
};

// Reads the whole file and its header. Only regular files of at most
// gimbal::kMaxFirmwareFileSize bytes are read; an open never blocks. Files
// shorter than the header are refused like empty ones: there is nothing to
// upgrade from them.
LoadResult loadFirmwareImage(const std::string& filepath);

// The counts of an image's header: LE16 at 2, 4 and 6, taken as signed 16-bit.
PageCounts readPageCounts(const Bytes& binbytes);

// Pages an upgrade sends for these counts. An MCU whose count is 0 or less
// still gets its page 0: the sequencer sends it before it looks at the count.
std::int64_t pagesSentFor(const PageCounts& counts);

// True when every page an upgrade with these counts cuts lies whole inside the
// image, so nothing is ever sent that is not in the file.
bool imageHoldsEveryPage(const LoadedImage& image);

// Why an image that loaded cannot be upgraded with, or none. Both front-ends
// refuse it before sending anything.
enum class ImageRefusal {
    NoPages,            // the counts add up to 0 or less
    ShorterThanCounts,  // a page the counts call for is not whole in the file
};
std::optional<ImageRefusal> imageRefusal(const LoadedImage& image);

// "the firmware image has no pages to send", "the firmware image is shorter
// than its page counts say; nothing was sent".
std::string refusalText(ImageRefusal refusal);
// Why a file did not load: "too short for a firmware image (under 8 bytes)",
// or the system's text for the error.
std::string loadErrorText(const LoadResult& result);

// The 1024 bytes at `offset`; nullopt when they do not lie whole in the image.
std::optional<Bytes> cutPage(const Bytes& binbytes, std::int64_t offset);

}  // namespace engine
