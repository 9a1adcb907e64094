// Cutting a port's byte stream into the frames the engine recognises one at a time.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "upgrader/flash/frame_assembler.h"

namespace flash {
namespace {

using Bytes = FrameAssembler::Bytes;

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(FrameAssembler, SeparatesAnAnnouncementAndAnAcknowledgementReadTogether) {
    FrameAssembler a;
    const Bytes report = gimbal::announcementFrame(1024, 123);
    const Bytes ack = gimbal::blockAckFrame(0);
    const auto frames = a.feed(join({report, ack}));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], report);
    EXPECT_EQ(frames[1], ack);
    EXPECT_EQ(a.pendingBytes(), 0u);
}

TEST(FrameAssembler, JoinsAFrameSplitOverReadsAtEveryPoint) {
    const Bytes report = gimbal::announcementFrame(1024, 1234, true);
    for (std::size_t cut = 1; cut < report.size(); ++cut) {
        FrameAssembler a;
        EXPECT_TRUE(a.feed(Bytes(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(cut))).empty());
        const auto frames = a.feed(Bytes(report.begin() + static_cast<std::ptrdiff_t>(cut), report.end()));
        ASSERT_EQ(frames.size(), 1u) << cut;
        EXPECT_EQ(frames[0], report);
    }
}

TEST(FrameAssembler, DropsNoiseBadCrcAndImplausibleHeadersButKeepsWhatFollows) {
    FrameAssembler a;
    Bytes corrupt = gimbal::blockAckFrame(1);
    corrupt.back() ^= 0xFF;
    const Bytes bogusHeader{0x55, 0xAA, 0x00, 0x03, 0xFF, 0xFF};  // announces 65535 bytes
    const Bytes good = gimbal::switchAckFrame();
    const auto frames = a.feed(join({Bytes{1, 2, 0x55, 3}, corrupt, bogusHeader, good}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], good);
    EXPECT_EQ(a.pendingBytes(), 0u);
}

}  // namespace
}  // namespace flash
