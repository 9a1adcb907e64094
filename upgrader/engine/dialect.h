// The two ways a gimbal's boot firmware is spoken to, as one value the
// engine is parameterised by: the upgrader's pages (1024 bytes each, sent
// once under a 30 s timer, "send Failed") and the three-axis updater's blocks
// (the announced size, each sent up to three times 3 s apart, "SEND FAIL" and
// "SLAVE SET FAILE!"). The sequencing is the same; only these values differ.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "upgrader/engine/firmware_image.h"

namespace engine {

// The largest announced block size the three-axis side accepts: the largest
// block the three-axis updater's window can send (its 2112-byte frame buffer
// less the 12 bytes of a block frame's envelope). A larger size comes from no
// gimbal that tool works with, so it is taken for a garbled announcement.
inline constexpr std::int64_t kMaxAnnouncedBlockSize = 2100;

struct Dialect {
    enum class Kind { Pages, ThreeAxis };
    Kind kind = Kind::Pages;
    // False: every block is kPageSize bytes. True: the block size is the one
    // the gimbal announced before the first block.
    bool blockSizeAnnounced = false;
    // True: every version report is answered, mid-upgrade too (the window's
    // way). False: announcements are answered only until the first block.
    bool answersAfterFirstBlock = true;
    // The switch request carries the single byte 0x01.
    bool switchCarriesSlaveByte = false;
    // How often a block or page goes out before it has failed, and how long
    // each send waits for its acknowledgement.
    int sendsPerBlock = 1;
    std::chrono::milliseconds answerWait{30000};
    // An acknowledgement counts only when it names the block sent. (The
    // pages side also takes one without an index.)
    bool acknowledgementMustNameBlock = false;
    // An image with no blocks is skipped with its switch (the pages side
    // cannot skip an MCU and refuses such a file).
    bool emptyImagesAllowed = false;
    std::string blockFailText;   // the alert for a block never acknowledged
    std::string switchFailText;  // the alert for a switch never acknowledged
    std::string completeText;    // the alert that ends a whole upgrade

    static Dialect pages();
    static Dialect threeAxis();

    bool operator==(const Dialect&) const = default;

    // "pages" or "three-axis", as records and JSON name it.
    const char* name() const;
    // "page" or "block"; "MCU 1" or "image 2" (images are counted from 1).
    const char* unit() const;
    std::string segmentName(std::int64_t segment) const;
    // "page 3 of MCU 1", "block 3 of image 2".
    std::string place(std::int64_t segment, std::int64_t block) const;
};

// Why an announced block size cannot be used, or none: 0, or above
// kMaxAnnouncedBlockSize.
std::optional<std::string> blockSizeRefusal(std::int64_t blockSize);

// Why a file cannot be sent in blocks of `blockSize` bytes, naming both
// sizes, or none: shorter than its counts call for, or filled exactly by
// blocks of another size (a file built for another gimbal).
std::optional<std::string> blockFitRefusal(const LoadedImage& image, std::int64_t blockSize);

}  // namespace engine
