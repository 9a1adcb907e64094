// Whole updates through the window against the simulated gimbal: the real
// timers run, the user opens the port, loads the file and presses start.
#include <gmock/gmock.h>

#include "blocks_gimbal.h"
#include "sim/gimbal_sim.h"
#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;
using testing::HasSubstr;

class TriskEndToEnd : public WindowTest {
protected:
    void SetUp() override { probe.resumeClocks(); }

    // Opens the gimbal's port through the window and waits for its announcement.
    void connectTo(sim::GimbalSim& gimbal) {
        probe.openOn(QString::fromStdString(gimbal.slavePath()));
        ASSERT_TRUE(probe.port_open()) << seen();
        ASSERT_TRUE(waitFor([&] { return probe.text().startsWith(QStringLiteral("LINK OK !")); }));
        EXPECT_EQ(probe.text(), QStringLiteral("LINK OK !\nVERSION 2.03"));
        EXPECT_EQ(probe.block_size(), kBlock);
    }
    void loadAndStart(const Bytes& file) {
        loadFile(file);
        ASSERT_TRUE(probe.text().endsWith(QStringLiteral("FILE OK")));
        probe.click("BtnUpdate");
    }
    std::string seen() const { return modal.texts().join(QLatin1Char('|')).toStdString(); }
    bool finishedWith(const QString& text) {
        return waitFor([&] { return modal.texts().contains(text); }, 60000);
    }
    void expectImagesOf(const sim::GimbalSim& gimbal, const Bytes& file) {
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(gimbal.image(i), imageOf(file, kBlock, i)) << "image " << i + 1;
        }
    }
};

TEST_F(TriskEndToEnd, WholeRunLeavesTheFileOnTheGimbal) {
    sim::GimbalSim gimbal(blocksGimbal());
    ASSERT_TRUE(gimbal.start());
    connectTo(gimbal);
    const Bytes file = updateFile(kBlock, 3, 2, 2);
    loadAndStart(file);
    ASSERT_TRUE(finishedWith(QStringLiteral("SEND OK"))) << seen();
    expectImagesOf(gimbal, file);
    const sim::Stats stats = gimbal.stats();
    EXPECT_EQ(stats.switchRequests, 2u);
    EXPECT_EQ(stats.blockFrames, 7u);
    EXPECT_EQ(stats.badCrcFrames, 0u);
    EXPECT_EQ(stats.malformedFrames, 0u);
    EXPECT_GE(stats.enterRequests, 1u);
    EXPECT_EQ(modal.boxes().size(), 1u);
}

TEST_F(TriskEndToEnd, DroppedAcknowledgementIsRetransmittedAfterItsTimeOut) {
    sim::Options o = blocksGimbal();
    o.faults = sim::faultsAt({{1, sim::Fault::Drop}});  // block 1 of image 1
    sim::GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    connectTo(gimbal);
    const Bytes file = updateFile(kBlock, 3, 1, 1);
    loadAndStart(file);
    ASSERT_TRUE(finishedWith(QStringLiteral("SEND OK")));
    expectImagesOf(gimbal, file);
    std::size_t block1 = 0;
    for (const sim::BlockRecord& r : gimbal.blockLog()) {
        if (r.segment == 0 && r.index == 1) {
            ++block1;
            EXPECT_EQ(r.data, Bytes(file.begin() + 8 + kBlock, file.begin() + 8 + 2 * kBlock));
        }
    }
    EXPECT_GE(block1, 2u);
}

TEST_F(TriskEndToEnd, SplitDelayedAndDuplicatedRepliesStillGiveTheWholeFile) {
    sim::Options o = blocksGimbal();
    o.faults = sim::randomFaults(8, 0.5, {sim::Fault::Split, sim::Fault::Delay, sim::Fault::Duplicate});
    sim::GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    connectTo(gimbal);
    const Bytes file = updateFile(kBlock, 4, 3, 2);
    loadAndStart(file);
    ASSERT_TRUE(finishedWith(QStringLiteral("SEND OK")));
    expectImagesOf(gimbal, file);
}

// A vanished gimbal ends the run with one message naming the port and where
// the run stopped (a second box, "SLAVE SET FAILE!" or "SEND FAIL", used to
// follow it); once it is back, a new run sends the whole file.
TEST_F(TriskEndToEnd, GimbalVanishingMidRunEndsTheRunWithOneMessageAndANewRunSendsTheWholeFile) {
    for (const bool forGood : {false, true}) {
        SCOPED_TRACE(forGood ? "for good" : "and back");
        sim::Options o = blocksGimbal();
        o.faults = sim::faultsAt({{forGood ? 0u : 2u, sim::Fault::Vanish}});  // instead of that block's ack
        sim::GimbalSim gimbal(o);
        ASSERT_TRUE(gimbal.start());
        connectTo(gimbal);
        const Bytes file = updateFile(kBlock, 4, 1, 1);
        modal.clear();
        loadAndStart(file);
        ASSERT_TRUE(waitFor([&] { return !probe.port_open() && modal.boxes().size() == 1; }));
        const std::string text = modal.boxes()[0].text.toStdString();
        EXPECT_THAT(text, HasSubstr(gimbal.slavePath() + " was lost"));
        EXPECT_THAT(text, HasSubstr(forGood ? "stopped at image 1, block 0 of 4" : "stopped at image 1, block 2 of 4"));
        EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("OPEN"));
        EXPECT_FALSE(probe.has_port());
        EXPECT_EQ(probe.send_state(), 0);
        if (forGood) {
            probe.holdClocks();
            probe.step(3 * 31);  // past every wait of the run: nothing more may be said
            EXPECT_EQ(modal.boxes().size(), 1u) << seen();
            continue;
        }
        ASSERT_TRUE(gimbal.revive());
        connectTo(gimbal);
        probe.click("BtnUpdate");
        ASSERT_TRUE(finishedWith(QStringLiteral("SEND OK"))) << seen();
        expectImagesOf(gimbal, file);
        probe.click("BtnOpen");  // closed for the next gimbal
    }
}

}  // namespace
}  // namespace trisk_test
