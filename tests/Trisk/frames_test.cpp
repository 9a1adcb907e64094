// The window's frame builders on the wire, and their refusals.
#include <gmock/gmock.h>

#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;
using testing::ElementsAre;

class TriskFrames : public WindowTest {};

TEST_F(TriskFrames, FixedFramesGoOutByteForByte) {
    openPort();
    window->setSlaveMode();
    window->setRun();
    EXPECT_EQ(window->send(0x00, 0x01, 0), 8);
    const auto frames = framesSent(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_THAT(frames[0], ElementsAre(0x55, 0xAA, 0x00, 0x07, 0x01, 0x00, 0x01, 0x30, 0x67));
    EXPECT_THAT(frames[1], ElementsAre(0x55, 0xAA, 0x00, 0x06, 0x00, 0x00, 0x60, 0x36));
    EXPECT_THAT(frames[2], ElementsAre(0x55, 0xAA, 0x00, 0x01, 0x00, 0x00, 0xF0, 0xB3));
    // Nothing but the frames: no stray bytes in between.
    EXPECT_EQ(peer.received().size(), 9u + 8u + 8u);
}

TEST_F(TriskFrames, BlockFrameCarriesIndexAndData) {
    openPort();
    const Bytes data = pattern(1024, 9);
    EXPECT_EQ(probe.send_to_flash(3, data), 1036);
    const auto frames = framesSent(1);
    ASSERT_EQ(frames.size(), 1u);
    const Bytes& f = frames[0];
    ASSERT_EQ(f.size(), 1036u);
    EXPECT_THAT(Bytes(f.begin(), f.begin() + 10),
                ElementsAre(0x55, 0xAA, 0x00, 0x02, 0x04, 0x04, 0x03, 0x00, 0x00, 0x00));
    EXPECT_EQ(Bytes(f.begin() + 10, f.end() - 2), data);
}

TEST_F(TriskFrames, VariadicAndBufferFormsAgree) {
    openPort();
    const Bytes payload{0x12, 0x34, 0x56};
    EXPECT_EQ(window->send(0x00, 0x09, 3, 0x112, 0x34, 0x56), 11);  // only the low byte counts
    EXPECT_EQ(probe.send(payload, 0x09), 11);
    const auto frames = framesSent(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], frames[1]);
    EXPECT_EQ(frames[0], gimbal::buildFrame(0x00, 0x09, payload));
}

TEST_F(TriskFrames, FramesThatDoNotFitAreNeitherBuiltNorSent) {
    openPort();
    // A count that does not match the bytes passed is refused, never read past.
    EXPECT_EQ(window->send(0x00, 0x09, 2, 0x01), 0);
    EXPECT_EQ(probe.send(Bytes(2105, 0xEE), 0x09), 0);
    EXPECT_EQ(probe.send_to_flash(0, Bytes(2101, 0xEE)), 0);
    EXPECT_EQ(probe.tx_buf()[0], 0x00) << "tx_buf untouched";
    // The largest ones fill the buffer exactly.
    EXPECT_EQ(probe.send(Bytes(2104, 0x11), 0x09), 2112);
    EXPECT_EQ(probe.send_to_flash(1, Bytes(2100, 0x22)), 2112);
    const auto frames = framesSent(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 2112u);
    EXPECT_EQ(frames[1], gimbal::buildBlockFrame(1, Bytes(2100, 0x22)));
}

TEST_F(TriskFrames, WritesWithoutAnOpenPortAreDropped) {
    // Never opened: the frame is built but goes nowhere.
    EXPECT_EQ(window->send(0x00, 0x01, 0), 8);
    openPort();
    probe.click("BtnOpen");  // close
    ASSERT_FALSE(probe.has_port());
    window->setSlaveMode();
    probe.send_to_flash(0, pattern(64, 1));
    // Reopened: the first bytes on the line are the next frame, not the dropped ones.
    probe.click("BtnOpen");
    ASSERT_TRUE(probe.port_open());
    window->setRun();
    const auto frames = framesSent(1);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0], gimbal::runFrame());
    EXPECT_EQ(peer.received(), gimbal::runFrame());
}

}  // namespace
}  // namespace trisk_test
