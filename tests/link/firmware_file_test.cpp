#include "link/firmware_file.h"

#include <gtest/gtest.h>

namespace gimbal {
namespace {

TEST(FirmwareLayout, BlockOffsetsFollowTheCounts) {
    const Bytes header{0xAB, 0xCD, 0x02, 0x00, 0x01, 0x00, 0x03, 0x00};
    const auto h = readFirmwareHeader(header);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->storedCrc, 0xCDAB);
    EXPECT_EQ(h->counts, (BlockCounts{2, 1, 3}));
    EXPECT_EQ(blockOffset(h->counts, 0, 0, 1024), 8u);
    EXPECT_EQ(blockOffset(h->counts, 0, 1, 1024), 1032u);
    EXPECT_EQ(blockOffset(h->counts, 1, 0, 1024), 2056u);
    EXPECT_EQ(blockOffset(h->counts, 2, 0, 1024), 3080u);
    EXPECT_EQ(blockOffset(h->counts, 2, 1, 1024), 4104u);
    EXPECT_EQ(blockOffset(h->counts, 2, 2, 1024), 5128u);
    EXPECT_EQ(imagesEnd(h->counts, 1024), 6152u);
}

TEST(FirmwareLayout, LargestCountsDoNotWrap) {
    const BlockCounts counts{0xFFFF, 0xFFFF, 0xFFFF};
    EXPECT_EQ(imagesEnd(counts, 0xFFFF), 8u + 3ull * 0xFFFF * 0xFFFF);
}

TEST(FirmwareLayout, ShortFilesHaveNoHeader) {
    for (std::size_t n = 0; n < kFirmwareHeaderSize; ++n) EXPECT_FALSE(readFirmwareHeader(Bytes(n, 1)));
    EXPECT_FALSE(computeFirmwareCrc(Bytes{}));
    EXPECT_FALSE(computeFirmwareCrc(Bytes{0xFF}));
    EXPECT_FALSE(firmwareCrcHolds(Bytes{0xFF}));
    EXPECT_EQ(computeFirmwareCrc(Bytes{0x00, 0x00}), 0xFFFF);  // CRC of nothing
}

TEST(FirmwareStoredCrc, CoversEverythingFromOffsetTwo) {
    const Bytes empty = composeFirmwareFile({}, 1024);
    ASSERT_EQ(empty.size(), 8u);
    EXPECT_EQ(*readLe16(empty, 0), frameCrc(Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(firmwareCrcHolds(empty));

    Bytes file = composeFirmwareFile({Bytes(16, 1), Bytes(8, 2), Bytes{}}, 8, Bytes{9, 9, 9});
    ASSERT_EQ(file.size(), 8u + 24 + 3);
    EXPECT_EQ(readFirmwareHeader(file)->counts, (BlockCounts{2, 1, 0}));
    EXPECT_TRUE(firmwareCrcHolds(file));
    for (std::size_t i = 2; i < file.size(); ++i) {
        Bytes flipped = file;
        flipped[i] ^= 0x10;
        EXPECT_FALSE(firmwareCrcHolds(flipped)) << i;
    }
    file[0] ^= 1;
    EXPECT_FALSE(firmwareCrcHolds(file));
}

TEST(FirmwareCompose, RefusesImagesThatAreNotWholeBlocks) {
    EXPECT_TRUE(composeFirmwareFile({Bytes(10, 0), {}, {}}, 8).empty());
    EXPECT_TRUE(composeFirmwareFile({}, 0).empty());
    EXPECT_TRUE(composeFirmwareFile({Bytes(0x10000, 0), {}, {}}, 1).empty());
}

TEST(FirmwareSlice, NeverReachesOutsideTheFile) {
    const Bytes file(100, 7);
    EXPECT_EQ(sliceAt(file, 0, 100)->size(), 100u);
    EXPECT_EQ(sliceAt(file, 100, 0)->size(), 0u);
    EXPECT_FALSE(sliceAt(file, 99, 2));
    EXPECT_FALSE(sliceAt(file, 101, 0));
    EXPECT_FALSE(sliceAt(file, ~0ull, 2));
    EXPECT_FALSE(sliceAt(file, 2, ~0ull));
}

}  // namespace
}  // namespace gimbal
