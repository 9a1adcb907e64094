#include "upgrader/engine/upgrade_frames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace engine {
namespace {

using testing::ElementsAre;

Bytes chunkOf(std::size_t length, std::uint8_t command, std::uint8_t address = 0) {
    Bytes c(length, 0);
    const std::uint8_t head[] = {0x55, 0xAA, address, command};
    for (std::size_t i = 0; i < length && i < 4; ++i) c[i] = head[i];
    return c;
}

TEST(UpgradeFrames, RequestsAndPagesByteForByte) {
    EXPECT_THAT(enterUpgradeModeFrame(), ElementsAre(0x55, 0xAA, 0x00, 0x01, 0x00, 0x00, 0xF0, 0xB3));
    EXPECT_THAT(switchMCUFrame(), ElementsAre(0x55, 0xAA, 0x00, 0x07, 0x00, 0x00, 0x50, 0x01));
    const Bytes page0 = pageDataFrame(0, Bytes(1024, 0xFF));
    ASSERT_EQ(page0.size(), 1036u);
    EXPECT_THAT(Bytes(page0.end() - 2, page0.end()), ElementsAre(0x24, 0x75));
    const Bytes page300 = pageDataFrame(300, Bytes(1024, 0));
    EXPECT_THAT(Bytes(page300.begin() + 4, page300.begin() + 10), ElementsAre(0x04, 0x04, 0x2C, 0x01, 0, 0));
    EXPECT_TRUE(pageDataFrame(0, Bytes(1023, 0)).empty());
}

TEST(ResponseRecognition, AcknowledgementsAreJudgedByTheirFirstFourBytes) {
    EXPECT_EQ(recogniseResponse(chunkOf(4, 0x03)).kind, ResponseKind::PageAck);
    EXPECT_EQ(recogniseResponse(chunkOf(40, 0x03)).kind, ResponseKind::PageAck);
    EXPECT_EQ(recogniseResponse(chunkOf(4, 0x08)).kind, ResponseKind::SwitchAck);
    EXPECT_EQ(recogniseResponse(chunkOf(10, 0x03, 0x01)).kind, ResponseKind::OtherFrame);
    EXPECT_EQ(recogniseResponse(chunkOf(8, 0x06)).kind, ResponseKind::OtherFrame);
}

TEST(ResponseRecognition, VersionReportsOnlyAtTwelveOrThirtyTwoBytes) {
    Bytes shortReport = chunkOf(12, 0x00);
    shortReport[8] = 0x7B;
    Response r = recogniseResponse(shortReport);
    ASSERT_EQ(r.kind, ResponseKind::VersionReport);
    EXPECT_EQ(r.version, 123);
    EXPECT_EQ(r.length, 12u);
    EXPECT_EQ(versionText(r.version, r.length), "1.23");

    Bytes longReport = chunkOf(32, 0x00);
    longReport[8] = 0x7B;
    r = recogniseResponse(longReport);
    ASSERT_EQ(r.kind, ResponseKind::VersionReport);
    EXPECT_EQ(versionText(r.version, r.length), "0.1.2.3");

    for (std::size_t len : {4, 11, 13, 31, 33})
        EXPECT_EQ(recogniseResponse(chunkOf(len, 0x00)).kind, ResponseKind::OtherFrame) << len;

    Bytes negative = chunkOf(12, 0x00);
    negative[8] = negative[9] = 0xFF;
    r = recogniseResponse(negative);
    EXPECT_EQ(r.version, -1);
    EXPECT_EQ(versionText(r.version, 12), "-0.01");
}

TEST(ResponseRecognition, ChunksTooShortToTellAreIgnoredCompletely) {
    EXPECT_EQ(recogniseResponse(Bytes{}).kind, ResponseKind::NotAFrame);
    EXPECT_EQ(recogniseResponse(Bytes{0x55}).kind, ResponseKind::NotAFrame);
    EXPECT_EQ(recogniseResponse(Bytes{0x55, 0xAA}).kind, ResponseKind::NotAFrame);
    EXPECT_EQ(recogniseResponse(Bytes{0x55, 0xAA, 0x00}).kind, ResponseKind::NotAFrame);
    EXPECT_EQ(recogniseResponse(Bytes{0x54, 0xAA, 0x00, 0x03}).kind, ResponseKind::NotAFrame);
    EXPECT_EQ(recogniseResponse(Bytes{0x55, 0xAB, 0x00, 0x03}).kind, ResponseKind::NotAFrame);
}

TEST(VersionText, DottedAndHundredthsForms) {
    EXPECT_EQ(versionText(10203, 32), "1.0.2.3");
    EXPECT_EQ(versionText(12345, 32), "1.2.3.45");
    EXPECT_EQ(versionText(1234, 32), "1.2.3.4");
    EXPECT_EQ(versionText(205, 32), "0.2.0.5");
    EXPECT_EQ(versionText(123, 12), "1.23");
    EXPECT_EQ(versionText(150, 12), "1.5");
    EXPECT_EQ(versionText(100, 12), "1.0");
    EXPECT_EQ(versionText(7, 12), "0.07");
    EXPECT_EQ(versionText(0, 12), "0.0");
    EXPECT_EQ(versionText(32767, 12), "327.67");
    EXPECT_EQ(versionText(-32768, 12), "-327.68");
    EXPECT_EQ(connectedStatusText(1234, 32), "Gimbal Connected, current firmware version V1.2.3.4");
}

}  // namespace
}  // namespace engine
