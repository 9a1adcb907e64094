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

TEST_F(FirmwareImageTest, CountsAreSignedSixteenBit) {
    auto r = loadFirmwareImage(write("a.bin", imageWith(0x02, 0x00, 6)));
    ASSERT_TRUE(r.image);
    EXPECT_EQ(r.image->pageCount, (PageCounts{2, 1, 3}));
    EXPECT_EQ(loadFirmwareImage(write("b.bin", imageWith(0xFF, 0xFF, 0))).image->pageCount[0], -1);
    EXPECT_EQ(loadFirmwareImage(write("c.bin", imageWith(0x00, 0x01, 0))).image->pageCount[0], 256);
    EXPECT_EQ(loadFirmwareImage(write("d.bin", imageWith(0x00, 0x80, 0))).image->pageCount[0], -32768);
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

    // A zero or negative count still costs a page.
    EXPECT_EQ(pagesSentFor({0, 0, 0}), 3);
    EXPECT_EQ(pagesSentFor({-5, 2, 0}), 4);
    EXPECT_FALSE(imageHoldsEveryPage(LoadedImage{Bytes(8, 0), {0, 0, 0}}));
    EXPECT_TRUE(imageHoldsEveryPage(LoadedImage{Bytes(8 + 3 * 1024, 0), {0, 0, 0}}));
    EXPECT_FALSE(imageHoldsEveryPage(LoadedImage{Bytes(8, 0), {32767, 32767, 32767}}));
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
