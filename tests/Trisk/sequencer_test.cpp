// The update sequencer, stepped tick by tick by the test, with the gimbal's
// replies fed straight into the parser.
#include <gmock/gmock.h>

#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;
using testing::ElementsAre;
using testing::HasSubstr;

class TriskSequencer : public WindowTest {
protected:
    void SetUp() override { openPort(); }

    // Announces `blockSize` and forgets the link reply it causes.
    // Writes reach the line in order, so once the reply is there so is
    // everything sent before it.
    void announce(std::uint16_t blockSize) {
        probe.feed(gimbal::announcementFrame(blockSize, 100));
        waitFor([&] {
            const auto frames = framesIn(peer.received());
            return !frames.empty() && frames.back() == gimbal::linkReplyFrame();
        });
        peer.forget();
    }
    void start() {
        probe.click("BtnUpdate");
        ASSERT_EQ(probe.send_state(), 1);
    }
    Bytes block(const Bytes& file, std::size_t offset, std::size_t size) {
        return Bytes(file.begin() + offset, file.begin() + offset + size);
    }
};

TEST_F(TriskSequencer, WholeRunSendsEveryImageBetweenSlaveSwitches) {
    announce(64);
    const Bytes file = updateFile(64, 2, 1, 1);
    loadFile(file);
    start();
    probe.step();  // set up image 1
    EXPECT_EQ(probe.block_count(), 2);
    for (int b = 0; b < 2; ++b) {
        probe.step();
        probe.feed(gimbal::blockAckFrame(b));
    }
    probe.step();
    EXPECT_EQ(probe.send_state(), 2);
    probe.feed(gimbal::switchAckFrame());
    EXPECT_EQ(probe.text(), QStringLiteral("Set Slave1 Mode OK"));
    probe.step(2);  // set up image 2, send its block
    probe.feed(gimbal::blockAckFrame(0));
    probe.step();
    probe.feed(gimbal::switchAckFrame());
    EXPECT_EQ(probe.text(), QStringLiteral("Set Slave2 Mode OK"));
    probe.step(2);
    probe.feed(gimbal::blockAckFrame(0));
    EXPECT_TRUE(modal.boxes().empty());
    probe.step();
    EXPECT_EQ(probe.send_state(), 0);
    ASSERT_EQ(modal.boxes().size(), 1u);
    EXPECT_EQ(modal.boxes()[0].title, QStringLiteral("UPDATE"));
    EXPECT_EQ(modal.boxes()[0].text, QStringLiteral("SEND OK"));
    EXPECT_EQ(modal.boxes()[0].icon, QMessageBox::Information);

    const auto frames = framesSent(6);
    EXPECT_THAT(frames, ElementsAre(gimbal::buildBlockFrame(0, block(file, 8, 64)),
                                    gimbal::buildBlockFrame(1, block(file, 72, 64)), gimbal::updaterSwitchFrame(),
                                    gimbal::buildBlockFrame(0, block(file, 136, 64)), gimbal::updaterSwitchFrame(),
                                    gimbal::buildBlockFrame(0, block(file, 200, 64))));
}

TEST_F(TriskSequencer, SilentGimbalGetsThreeTransmissionsThenSendFail) {
    const Bytes file = updateFile(1024, 1, 0, 0);
    loadFile(file);
    start();
    probe.step(2);
    const Bytes sent = gimbal::buildBlockFrame(0, block(file, 8, 1024));
    EXPECT_EQ(probe.resend_len(), 1036);
    probe.step(30);
    EXPECT_EQ(probe.send_state(), 10);
    // A link reply built meanwhile must not change what is retransmitted.
    probe.feed(gimbal::announcementFrame(1024, 1));
    probe.step();
    EXPECT_EQ(probe.send_state(), 11);
    probe.step(31);
    EXPECT_EQ(probe.send_state(), 12);
    probe.step(30);
    EXPECT_EQ(probe.send_state(), 12);
    EXPECT_TRUE(modal.boxes().empty());
    probe.step();  // the 93rd tick after the first transmission
    EXPECT_EQ(probe.send_state(), 0);
    EXPECT_EQ(probe.resend_len(), 0);
    EXPECT_EQ(modal.texts(), QStringList{QStringLiteral("SEND FAIL")});
    EXPECT_THAT(framesSent(4), ElementsAre(sent, gimbal::linkReplyFrame(), sent, sent));
}

TEST_F(TriskSequencer, AcknowledgementOfALaterTryContinuesTheRun) {
    loadFile(updateFile(1024, 2, 0, 0));
    start();
    probe.step(2 + 31 + 31);
    EXPECT_EQ(probe.send_state(), 12);
    probe.feed(gimbal::blockAckFrame(0));
    EXPECT_EQ(probe.send_state(), 9);
    probe.step();
    EXPECT_EQ(probe.send_state(), 10);
    EXPECT_EQ(probe.block_index(), 1);
    EXPECT_EQ(framesSent(4).back().at(6), 1) << "block 1 follows";
}

TEST_F(TriskSequencer, SilentSwitchEndsWithSlaveSetFailed) {
    // No blocks in image 1, so the first step is the switch.
    loadFile(updateFile(1024, 0, 0, 0));
    start();
    probe.step(2);
    EXPECT_EQ(probe.send_state(), 2);
    probe.step(30);
    EXPECT_TRUE(modal.boxes().empty());
    probe.step();
    EXPECT_EQ(probe.send_state(), 0);
    EXPECT_EQ(modal.texts(), QStringList{QStringLiteral("SLAVE SET FAILE!")});
    EXPECT_THAT(framesSent(1), ElementsAre(gimbal::updaterSwitchFrame()));
}

TEST_F(TriskSequencer, StartButtonOnlyStartsAnIdleSequencer) {
    loadFile(updateFile(1024, 1, 0, 0));
    probe.send_state() = 10;
    probe.click("BtnUpdate");
    EXPECT_EQ(probe.send_state(), 10);
    probe.send_state() = 0;
    probe.click("BtnUpdate");
    EXPECT_EQ(probe.send_state(), 1);
}

TEST_F(TriskSequencer, AnnouncementMidRunChangesLaterBlocksAndImages) {
    Bytes file = updateFile(64, 2, 1, 0);
    loadFile(file);
    announce(64);
    start();
    probe.step(2);
    probe.feed(gimbal::blockAckFrame(0));
    announce(32);
    probe.step();  // block 1 at the old place, new size
    probe.feed(gimbal::blockAckFrame(1));
    probe.step();
    probe.feed(gimbal::switchAckFrame());
    probe.step(2);  // image 2 starts at 8 + 2 x 32
    EXPECT_EQ(probe.block_offset(), 72u);
    const auto frames = framesSent(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], gimbal::buildBlockFrame(1, block(file, 72, 32)));
    EXPECT_EQ(frames[1], gimbal::updaterSwitchFrame());
    EXPECT_EQ(frames[2], gimbal::buildBlockFrame(0, block(file, 72, 32)));
}

TEST_F(TriskSequencer, HeaderRunningPastTheFileStopsBeforeSending) {
    Bytes file = updateFile(64, 2, 1, 1);
    file.resize(file.size() - 1);  // the last image is one byte short
    announce(64);
    loadFile(withCrc(file));
    start();
    probe.step();
    EXPECT_EQ(probe.send_state(), 0);
    ASSERT_EQ(modal.boxes().size(), 1u);
    EXPECT_EQ(modal.boxes()[0].icon, QMessageBox::Warning);
    EXPECT_THAT(modal.boxes()[0].text.toStdString(), HasSubstr("Image 3 runs past the loaded file"));
    window->setRun();
    EXPECT_THAT(framesSent(1), ElementsAre(gimbal::runFrame())) << "nothing was sent before";
}

TEST_F(TriskSequencer, BlockSizeThatDoesNotFitAFrameStopsTheRun) {
    announce(2101);
    loadFile(updateFile(16, 0, 0, 0));
    start();
    probe.step();
    EXPECT_EQ(probe.send_state(), 9) << "a header without blocks has none to size";
    EXPECT_TRUE(modal.boxes().empty());
    probe.send_state() = 0;
    probe.step();

    loadFile(updateFile(16, 1, 0, 0));
    for (std::uint16_t size : {std::uint16_t{2101}, std::uint16_t{0}}) {
        announce(size);
        start();
        probe.step();
        EXPECT_EQ(probe.send_state(), 0);
    }
    ASSERT_EQ(modal.boxes().size(), 2u);
    EXPECT_THAT(modal.boxes()[0].text.toStdString(), HasSubstr("Block size 2101 does not fit"));
    EXPECT_THAT(modal.boxes()[1].text.toStdString(), HasSubstr("Block size 0 does not fit"));
    window->setRun();
    EXPECT_THAT(framesSent(1), ElementsAre(gimbal::runFrame())) << "nothing was sent";
}

TEST_F(TriskSequencer, BlockGrowingPastTheFileMidRunIsNotSent) {
    const Bytes file = updateFile(64, 2, 0, 0);
    loadFile(file);
    announce(64);
    start();
    probe.step(2);
    probe.feed(gimbal::blockAckFrame(0));
    announce(128);  // block 1 would now read 72..200 of a 136-byte file
    probe.step();
    EXPECT_EQ(probe.send_state(), 0);
    EXPECT_EQ(probe.resend_len(), 0);
    EXPECT_THAT(modal.texts().join(QString()).toStdString(), HasSubstr("runs past the loaded file"));
    window->setRun();
    EXPECT_THAT(framesSent(1), ElementsAre(gimbal::runFrame()));
}

TEST_F(TriskSequencer, ClosingMidRunDropsWritesButKeepsTheRun) {
    const Bytes file = updateFile(1024, 1, 0, 0);
    loadFile(file);
    start();
    probe.step(2);
    const Bytes sent = gimbal::buildBlockFrame(0, block(file, 8, 1024));
    EXPECT_THAT(framesSent(1), ElementsAre(sent));
    probe.click("BtnOpen");  // close
    probe.step(31);          // second transmission: dropped
    EXPECT_EQ(probe.send_state(), 11);
    probe.click("BtnOpen");  // reopen
    ASSERT_TRUE(probe.port_open());
    probe.step(31);  // third transmission reaches the gimbal
    EXPECT_EQ(probe.send_state(), 12);
    EXPECT_THAT(framesSent(2), ElementsAre(sent, sent));
    probe.feed(gimbal::blockAckFrame(0));
    probe.step();
    EXPECT_EQ(probe.send_state(), 2) << "the run goes on to the switch";
}

TEST_F(TriskSequencer, AcknowledgementAfterAFailedRunResumesIt) {
    loadFile(updateFile(1024, 2, 0, 0));
    start();
    probe.step(2 + 31 + 31 + 31);
    ASSERT_EQ(modal.texts(), QStringList{QStringLiteral("SEND FAIL")});
    probe.feed(gimbal::blockAckFrame(0));
    EXPECT_EQ(probe.send_state(), 9);
    probe.step();
    EXPECT_EQ(probe.block_index(), 1);
    EXPECT_EQ(probe.send_state(), 10);
}

}  // namespace
}  // namespace trisk_test
