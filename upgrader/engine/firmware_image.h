// The desktop upgrader's reading of a firmware image: the whole file in
// memory, three page counts taken as unsigned 16-bit numbers, and 1024-byte
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

// The counts of an image's header: LE16 at 2, 4 and 6, unsigned (0 to 65535).
PageCounts readPageCounts(const Bytes& binbytes);

// Pages an upgrade sends for these counts: their sum. (A count of 0 cannot be
// sent at all, see imageRefusal.)
std::int64_t pagesSentFor(const PageCounts& counts);

// True when every page an upgrade with these counts cuts lies whole inside the
// image, so nothing is ever sent that is not in the file.
bool imageHoldsEveryPage(const LoadedImage& image);

// Why an image that loaded cannot be upgraded with, or none. Both front-ends
// refuse it before sending anything.
// The pages protocol has no way to skip an MCU: the switch request comes only
// after a page's acknowledgement, so an MCU without pages would get a page of
// the next MCU's image. Such an image is refused, naming the MCU.
struct ImageRefusal {
    enum class Kind {
        EmptyMCU,           // an MCU's page count is 0
        ShorterThanCounts,  // a page the counts call for is not whole in the file
    };
    Kind kind = Kind::EmptyMCU;
    std::int64_t mcu = 0;  // EmptyMCU: the first MCU whose count is 0
    bool operator==(const ImageRefusal&) const = default;
};
std::optional<ImageRefusal> imageRefusal(const LoadedImage& image);

// "MCU 1 has a page count of 0, which the upgrade cannot send (each MCU needs
// at least one page)", "the firmware image is shorter than its page counts
// say; nothing was sent".
std::string refusalText(const ImageRefusal& refusal);

// Bytes after MCU 2's last page: covered by the stored CRC, never sent. Real
// files may be padded, so they are only reported: "the firmware image has
// 1024 bytes after MCU 2's last page; they are not sent". None without any
// (or when the file is shorter than its counts).
std::int64_t trailingBytes(const Bytes& binbytes, const PageCounts& counts);
std::optional<std::string> trailingBytesWarning(const Bytes& binbytes, const PageCounts& counts);
// Why a file did not load: "too short for a firmware image (under 8 bytes)",
// or the system's text for the error.
std::string loadErrorText(const LoadResult& result);

// The `size` bytes at `offset` (a page by default); nullopt when they do not
// lie whole in the image.
std::optional<Bytes> cutPage(const Bytes& binbytes, std::int64_t offset, std::int64_t size = kPageSize);

}  // namespace engine
