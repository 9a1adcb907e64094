#include "link/frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace gimbal {
namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;

TEST(FrameVectors, FixedFramesOfBothTools) {
    EXPECT_THAT(linkReplyFrame(), ElementsAre(0x55, 0xAA, 0x00, 0x01, 0x00, 0x00, 0xF0, 0xB3));
    EXPECT_THAT(upgraderSwitchFrame(), ElementsAre(0x55, 0xAA, 0x00, 0x07, 0x00, 0x00, 0x50, 0x01));
    EXPECT_THAT(updaterSwitchFrame(), ElementsAre(0x55, 0xAA, 0x00, 0x07, 0x01, 0x00, 0x01, 0x30, 0x67));
    EXPECT_THAT(runFrame(), ElementsAre(0x55, 0xAA, 0x00, 0x06, 0x00, 0x00, 0x60, 0x36));
}

TEST(FrameVectors, GimbalFrames) {
    EXPECT_THAT(blockAckFrame(5), ElementsAre(0x55, 0xAA, 0x00, 0x03, 0x02, 0x00, 0x05, 0x00, 0x5F, 0xF2));
    EXPECT_THAT(announcementFrame(1024, 123),
                ElementsAre(0x55, 0xAA, 0x00, 0x00, 0x04, 0x00, 0x00, 0x04, 0x7B, 0x00, 0xFC, 0x3F));
    const Bytes longForm = announcementFrame(1024, 123, true);
    ASSERT_EQ(longForm.size(), 32u);
    EXPECT_EQ(longForm[4], 24);
    EXPECT_EQ(longForm[8], 0x7B);
    EXPECT_EQ(checkFrame(longForm).status, FrameStatus::Sound);
}

TEST(FrameVectors, PageFramesOfTheDesktopUpgrader) {
    const Bytes ones(1024, 0xFF);
    const Bytes page0 = buildBlockFrame(0, ones);
    ASSERT_EQ(page0.size(), 1036u);
    EXPECT_THAT(Bytes(page0.end() - 2, page0.end()), ElementsAre(0x24, 0x75));

    const Bytes zeros(1024, 0x00);
    const Bytes page1 = buildBlockFrame(1, zeros);
    EXPECT_THAT(Bytes(page1.begin(), page1.begin() + 10),
                ElementsAre(0x55, 0xAA, 0x00, 0x02, 0x04, 0x04, 0x01, 0x00, 0x00, 0x00));
    EXPECT_THAT(Bytes(page1.end() - 2, page1.end()), ElementsAre(0xC8, 0xC1));

    const Bytes page300 = buildBlockFrame(300, zeros);
    EXPECT_EQ(page300[6], 0x2C);
    EXPECT_EQ(page300[7], 0x01);
}

TEST(FrameVectors, BlockFrameMatchesTheGeneralBuilder) {
    Bytes data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes block = buildBlockFrame(3, data);
    ASSERT_EQ(block.size(), 1036u);
    EXPECT_THAT(Bytes(block.begin() + 4, block.begin() + 10), ElementsAre(0x04, 0x04, 3, 0, 0, 0));
    Bytes payload{3, 0, 0, 0};
    payload.insert(payload.end(), data.begin(), data.end());
    EXPECT_EQ(block, buildFrame(0, 0x02, payload));
}

TEST(FrameBuilders, RefuseWhatDoesNotFit) {
    std::uint8_t small[9] = {};
    const std::uint8_t two[2] = {1, 2};
    EXPECT_EQ(writeFrame(std::span<std::uint8_t>(small, 9), 0, 1, two), 0u);
    EXPECT_EQ(writeFrame(std::span<std::uint8_t>(small, 9), 0, 1, std::span(two, 1)), 9u);
    EXPECT_EQ(writeBlockFrame(std::span<std::uint8_t>(small, 9), 0, {}), 0u);

    const Bytes huge(kMaxPayload + 1, 0);
    EXPECT_TRUE(buildFrame(0, 1, huge).empty());
    EXPECT_TRUE(buildBlockFrame(0, ByteView(huge).subspan(0, kMaxBlockData + 1)).empty());
    EXPECT_EQ(buildFrame(0, 1, ByteView(huge).subspan(0, kMaxPayload)).size(), kMaxPayload + 8);
}

TEST(FrameCheck, ClassifiesSoundIncompleteBadSyncAndBadCrc) {
    const Bytes ack = blockAckFrame(5);
    FrameCheck c = checkFrame(ack);
    ASSERT_EQ(c.status, FrameStatus::Sound);
    EXPECT_EQ(c.frame.command, 0x03);
    EXPECT_THAT(Bytes(c.frame.payload.begin(), c.frame.payload.end()), ElementsAre(5, 0));
    EXPECT_EQ(c.frame.size, 10u);

    for (std::size_t n = 0; n < ack.size(); ++n)
        EXPECT_EQ(checkFrame(ByteView(ack).first(n)).status, FrameStatus::Incomplete) << n;

    Bytes corrupt = ack;
    corrupt[6] ^= 0x01;
    EXPECT_EQ(checkFrame(corrupt).status, FrameStatus::BadCrc);
    Bytes badCrcByte = ack;
    badCrcByte.back() ^= 0x80;
    EXPECT_EQ(checkFrame(badCrcByte).status, FrameStatus::BadCrc);

    EXPECT_EQ(checkFrame(Bytes{0x54}).status, FrameStatus::BadSync);
    EXPECT_EQ(checkFrame(Bytes{0x55, 0xAB, 0, 0}).status, FrameStatus::BadSync);
}

TEST(FrameCheck, SyncBytesInsideAPayloadDoNotStartANewFrame) {
    const Bytes payload{0x55, 0xAA, 0x00, 0x03, 0x02, 0x00, 0x55, 0xAA};
    Bytes stream = buildFrame(0, 0x08, payload);
    const Bytes next = linkReplyFrame();
    stream.insert(stream.end(), next.begin(), next.end());
    const FrameCheck c = checkFrame(stream);
    ASSERT_EQ(c.status, FrameStatus::Sound);
    EXPECT_EQ(c.frame.size, payload.size() + 8);
    EXPECT_THAT(Bytes(c.frame.payload.begin(), c.frame.payload.end()), ElementsAreArray(payload));
    EXPECT_EQ(checkFrame(ByteView(stream).subspan(c.frame.size)).frame.command, 0x01);
}

TEST(FrameFields, ReadLe16StaysInsideTheBuffer) {
    const Bytes b{0x34, 0x12, 0xFF};
    EXPECT_EQ(readLe16(b, 0), 0x1234);
    EXPECT_EQ(readLe16(b, 1), 0xFF12);
    EXPECT_FALSE(readLe16(b, 2));
    EXPECT_FALSE(readLe16(b, 3));
    EXPECT_FALSE(readLe16(b, static_cast<std::size_t>(-1)));
}

}  // namespace
}  // namespace gimbal
