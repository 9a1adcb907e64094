#include "upgrader/engine/firmware_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace engine {
namespace {

namespace fs = std::filesystem;

class FirmwareImageTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("fwimage-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const Bytes& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
    fs::path dir_;
};

Bytes imageWith(std::uint8_t c0lo, std::uint8_t c0hi, std::size_t pages) {
    Bytes b{0xAA, 0xBB, c0lo, c0hi, 0x01, 0x00, 0x03, 0x00};
    for (std::size_t p = 0; p < pages; ++p) b.insert(b.end(), 1024, static_cast<std::uint8_t>(p));
    return b;
}

// The counts are unsigned 16-bit, as the file layout says.
TEST_F(FirmwareImageTest, CountsAreUnsignedSixteenBit) {
    auto r = loadFirmwareImage(write("a.bin", imageWith(0x02, 0x00, 6)));
    ASSERT_TRUE(r.image);
    EXPECT_EQ(r.image->pageCount, (PageCounts{2, 1, 3}));
    EXPECT_EQ(loadFirmwareImage(write("b.bin", imageWith(0xFF, 0xFF, 0))).image->pageCount[0], 65535);
    EXPECT_EQ(loadFirmwareImage(write("c.bin", imageWith(0x00, 0x01, 0))).image->pageCount[0], 256);
    EXPECT_EQ(loadFirmwareImage(write("d.bin", imageWith(0x00, 0x80, 0))).image->pageCount[0], 32768);
}

TEST_F(FirmwareImageTest, RefusesShortEmptyMissingAndFolders) {
    for (std::size_t n = 0; n < 8; ++n) {
        const auto r = loadFirmwareImage(write("short" + std::to_string(n), Bytes(n, 1)));
        EXPECT_FALSE(r.image) << n;
        EXPECT_EQ(r.error, LoadError::TooShort) << n;
    }
    const auto eight = loadFirmwareImage(write("eight", Bytes{0, 0, 1, 0, 2, 0, 3, 0}));
    ASSERT_TRUE(eight.image);
    EXPECT_EQ(eight.image->pageCount, (PageCounts{1, 2, 3}));

    auto missing = loadFirmwareImage((dir_ / "nope.bin").string());
    EXPECT_FALSE(missing.image);
    EXPECT_EQ(missing.error, LoadError::Unreadable);
    EXPECT_EQ(missing.detail, "No such file or directory");
    auto folder = loadFirmwareImage(dir_.string());
    EXPECT_FALSE(folder.image);
    EXPECT_EQ(folder.detail, "Is a directory");
}

TEST(FirmwareImagePages, EveryPageTheUpgradeCutsMustLieInTheImage) {
    LoadedImage img{imageWith(0x02, 0x00, 6), {2, 1, 3}};
    EXPECT_TRUE(imageHoldsEveryPage(img));
    img.binbytes.pop_back();
    EXPECT_FALSE(imageHoldsEveryPage(img));

    EXPECT_EQ(pagesSentFor({3, 2, 4}), 9);
    EXPECT_EQ(pagesSentFor({65535, 65535, 65535}), 3 * 65535);
    EXPECT_FALSE(imageHoldsEveryPage(LoadedImage{Bytes(8, 0), {32768, 32767, 2}}));
}

// An MCU without pages cannot be sent (the pages protocol
// would give it a page of the next image), so the image is refused, naming
// the first such MCU; bytes after the last page are only a warning.
TEST(FirmwareImagePages, AZeroCountIsRefusedNamingTheMcuAndTrailingBytesAreAWarning) {
    LoadedImage zero{imageWith(0x03, 0x00, 5), {3, 0, 4}};
    ASSERT_TRUE(imageRefusal(zero));
    EXPECT_EQ(*imageRefusal(zero), (ImageRefusal{ImageRefusal::Kind::EmptyMCU, 1}));
    EXPECT_EQ(refusalText(*imageRefusal(zero)),
              "MCU 1 has a page count of 0, which the upgrade cannot send (each MCU needs at least one page)");
    EXPECT_EQ(imageRefusal(LoadedImage{Bytes(8, 0), {0, 0, 0}})->mcu, 0);
    EXPECT_EQ(imageRefusal(LoadedImage{Bytes(8 + 2048, 0), {1, 1, 0}})->mcu, 2);
    // Even with the file long enough for the shifted pages.
    EXPECT_TRUE(imageRefusal(LoadedImage{Bytes(8 + 10 * 1024, 0), {3, 0, 4}}));

    const LoadedImage exact{Bytes(8 + 9 * 1024, 0), {3, 2, 4}};
    EXPECT_FALSE(imageRefusal(exact));
    EXPECT_FALSE(trailingBytesWarning(exact.binbytes, exact.pageCount));
    const LoadedImage padded{Bytes(8 + 10 * 1024, 0), {3, 2, 4}};
    EXPECT_FALSE(imageRefusal(padded));
    EXPECT_EQ(trailingBytes(padded.binbytes, padded.pageCount), 1024);
    EXPECT_EQ(trailingBytesWarning(padded.binbytes, padded.pageCount),
              "the firmware image has 1024 bytes after MCU 2's last page; they are not sent");
    EXPECT_EQ(trailingBytesWarning(Bytes(8 + 9 * 1024 + 1, 0), exact.pageCount),
              "the firmware image has 1 byte after MCU 2's last page; it is not sent");
    EXPECT_FALSE(trailingBytesWarning(Bytes(8, 0), exact.pageCount));  // short: refused for that instead
}

TEST(FirmwareImagePages, CutPageNeverReadsPastTheEnd) {
    const Bytes bin = imageWith(0x02, 0x00, 2);
    const auto first = cutPage(bin, 8);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 1024u);
    EXPECT_EQ((*cutPage(bin, 1032))[0], 1);
    EXPECT_FALSE(cutPage(bin, 1033));
    EXPECT_FALSE(cutPage(bin, -1));
    EXPECT_FALSE(cutPage(bin, INT64_MAX));
}

}  // namespace
}  // namespace engine
