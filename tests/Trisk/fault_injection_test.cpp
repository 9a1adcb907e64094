// Faults on the gimbal's replies, one row each with what the updater must make
// of it: it retransmits a block up to three times, so a reply lost or spoilt
// once or twice still ends in "SEND OK" with exactly the file on the gimbal;
// three in a row, silence, or an unanswered slave switch end in the failure
// box, and nothing recorded is ever a wrong block. The sequencer tick is sped
// up (the waits are counted in ticks), so a retransmission costs 1.5 s instead
// of 3; shorter, a busy machine's late ack already counts as lost. After the
// table: a port held by another program and the window closed mid-update.
//
// Elsewhere (end_to_end_test.cpp): a clean run, one dropped ack, random
// split/delayed/duplicated replies, the gimbal vanishing and coming back, and
// vanishing for good.
#include <gmock/gmock.h>

#include <filesystem>
#include <limits>
#include <map>

#include "blocks_gimbal.h"
#include "sim/gimbal_sim.h"
#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;
using sim::Fault;
using testing::HasSubstr;
using namespace std::chrono_literals;

constexpr int kFastTickMs = 50;
// Blocks 3, 2, 2 give these replies (a retransmission is owed a reply too):
// 0-2 image 1's blocks, 3 switch, 4-5 image 2's blocks, 6 switch, 7-8 image 3's.
constexpr std::size_t kN1 = 3, kN2 = 2, kN3 = 2;

struct Row {
    const char* name;
    std::map<std::size_t, Fault> faults;
    const char* box;         // the one box the run ends with
    std::size_t blocksSent;  // block frames the gimbal takes in all
    std::chrono::milliseconds delay{100};
    std::size_t splitPieces = 2;
    std::size_t silentAfter = std::numeric_limits<std::size_t>::max();
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

const Row kRows[] = {
    {"DroppedTwiceIsSentAThirdTime", {{1, Fault::Drop}, {2, Fault::Drop}}, "SEND OK", 9},
    {"CorruptedCrcIsRetransmitted", {{1, Fault::CorruptCrc}}, "SEND OK", 8},
    {"WrongAddressIsRetransmitted", {{4, Fault::WrongAddress}}, "SEND OK", 8},
    {"NoiseInFrontIsSkipped", {{1, Fault::Noise}, {3, Fault::Noise}}, "SEND OK", 7},
    {"SplitInThreeIsPutTogether", {{0, Fault::Split}, {3, Fault::Split}, {8, Fault::Split}}, "SEND OK", 7, 100ms, 3},
    {"DuplicatedBlockAndSwitchAcks",
     {{1, Fault::Duplicate}, {3, Fault::Duplicate}, {6, Fault::Duplicate}},
     "SEND OK",
     7},
    {"LateWithinTheWait", {{2, Fault::Delay}, {3, Fault::Delay}}, "SEND OK", 7},
    // The ack comes after the block was sent again: the second sending's ack
    // moves on, and the late one, for a block no longer awaited, is ignored.
    {"LateAfterTheRetransmission", {{2, Fault::Delay}}, "SEND OK", 8, 3000ms},
    {"DroppedThreeTimesFails", {{1, Fault::Drop}, {2, Fault::Drop}, {3, Fault::CorruptCrc}}, "SEND FAIL", 4},
    {"DroppedSwitchAckFails", {{3, Fault::Drop}}, "SLAVE SET FAILE!", 3},
    {"WrongAddressOnTheSwitchAckFails", {{6, Fault::WrongAddress}}, "SLAVE SET FAILE!", 5},
    {"SilentGimbalFails", {}, "SEND FAIL", 6, 100ms, 2, 4},
};

// Descriptors of this process open on `path`.
int descriptorsOn(const std::string& path) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) == path) ++n;
    }
    return n;
}

class TriskFaults : public WindowTest {
protected:
    // The clocks run; the sequencer ticks every kFastTickMs instead of 100 ms.
    void SetUp() override {
        probe.resumeClocks();
        for (QTimer* timer : window->findChildren<QTimer*>())
            if (timer->interval() == 100) timer->start(kFastTickMs);  // the sequencer tick
    }
    void connectTo(sim::GimbalSim& gimbal) {
        probe.openOn(QString::fromStdString(gimbal.slavePath()));
        ASSERT_TRUE(probe.port_open()) << seen();
        ASSERT_TRUE(waitFor([&] { return probe.text().startsWith(QStringLiteral("LINK OK !")); }));
        ASSERT_EQ(probe.block_size(), kBlock);
    }
    void loadAndStart(const Bytes& file) {
        loadFile(file);
        ASSERT_TRUE(probe.text().endsWith(QStringLiteral("FILE OK")));
        probe.click("BtnUpdate");
    }
    std::string seen() const { return modal.texts().join(QLatin1Char('|')).toStdString(); }

    // Every block recorded holds the file's data for its image and index.
    void expectNoWrongBlock(const sim::GimbalSim& gimbal, const Bytes& file) const {
        for (const sim::BlockRecord& r : gimbal.blockLog()) {
            ASSERT_LT(r.segment, 3u);
            const Bytes image = imageOf(file, kBlock, r.segment);
            ASSERT_LE((r.index + 1u) * kBlock, image.size()) << "image " << r.segment + 1 << " block " << r.index;
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), image.begin() + r.index * kBlock))
                << "image " << r.segment + 1 << " block " << r.index;
        }
    }
};

class TriskReplyFaults : public TriskFaults, public ::testing::WithParamInterface<Row> {};

TEST_P(TriskReplyFaults, EndsAsTheRowSaysAndNeverWithAWrongBlock) {
    const Row& row = GetParam();
    sim::Options o = blocksGimbal();
    o.faults = sim::faultsAt(row.faults);
    o.delay = row.delay;
    o.splitPieces = row.splitPieces;
    o.silentAfter = row.silentAfter;
    sim::GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    ASSERT_NO_FATAL_FAILURE(connectTo(gimbal));
    const Bytes file = updateFile(kBlock, kN1, kN2, kN3);
    ASSERT_NO_FATAL_FAILURE(loadAndStart(file));

    ASSERT_TRUE(waitFor([&] { return !modal.boxes().empty(); }, 60000)) << probe.text().toStdString();
    EXPECT_EQ(modal.texts(), QStringList{QString::fromUtf8(row.box)});
    EXPECT_EQ(probe.send_state(), 0);
    EXPECT_EQ(gimbal.stats().blockFrames, row.blocksSent);
    expectNoWrongBlock(gimbal, file);
    if (std::string(row.box) == "SEND OK") {
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(gimbal.image(i), imageOf(file, kBlock, i)) << "image " << i + 1;
        EXPECT_EQ(gimbal.stats().switchRequests, 2u);
    } else {
        EXPECT_NE(gimbal.image(2), imageOf(file, kBlock, 2)) << "a failed run cannot have sent everything";
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, TriskReplyFaults, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Another program has the port: the window says so, stays closed, and the
// holder keeps hearing the gimbal.
TEST_F(TriskFaults, APortHeldByAnotherProgramIsReportedAndLeftAlone) {
    sim::GimbalSim gimbal(blocksGimbal());
    ASSERT_TRUE(gimbal.start());
    const QString path = QString::fromStdString(gimbal.slavePath());
    QSerialPort holder(path);
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite)) << holder.errorString().toStdString();

    probe.openOn(path);
    ASSERT_TRUE(waitFor([&] { return modal.boxes().size() == 1; }));
    EXPECT_THAT(modal.boxes()[0].text.toStdString(), HasSubstr("can't open the port " + gimbal.slavePath()));
    EXPECT_FALSE(probe.port_open());
    EXPECT_FALSE(probe.has_port());
    EXPECT_TRUE(holder.isOpen());
    holder.readAll();
    ASSERT_TRUE(waitFor([&] { return holder.waitForReadyRead(10) && holder.bytesAvailable() > 0; }))
        << "the holder no longer hears the gimbal";
    EXPECT_EQ(gimbal.stats().framesReceived, 0u);

    holder.close();
    probe.click("BtnOpen");
    EXPECT_TRUE(probe.port_open()) << seen();
}

// The user closes the window mid-update: the port is let go at once, nothing
// more is sent, and what the gimbal took is the file's. Closing asks first.
TEST_F(TriskFaults, ClosingTheWindowMidUpdateLetsThePortGoAndSendsNothingMore) {
    sim::Options o = blocksGimbal();
    o.delay = 500ms;
    o.faults = sim::faultsAt({{2, Fault::Delay}});  // due after the window is gone
    sim::GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    const int simulatorsOwn = descriptorsOn(gimbal.slavePath());  // it keeps one to heal the port
    ASSERT_NO_FATAL_FAILURE(connectTo(gimbal));
    const Bytes file = updateFile(kBlock, kN1, kN2, kN3);
    ASSERT_NO_FATAL_FAILURE(loadAndStart(file));
    ASSERT_TRUE(waitFor([&] { return gimbal.stats().blockFrames == 3; }));

    // It asks first, No by default, and No keeps updating.
    window->close();
    ASSERT_EQ(modal.boxes().size(), 1u);
    EXPECT_EQ(modal.boxes()[0].defaultButton, QMessageBox::No);
    EXPECT_TRUE(window->isVisible());
    EXPECT_NE(probe.send_state(), 0);
    modal.answerQuestions(QMessageBox::Yes);
    window->close();
    EXPECT_FALSE(window->isVisible());
    modal.clear();
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(waitFor([&] { return descriptorsOn(gimbal.slavePath()) == simulatorsOwn; }))
        << "the port is still open";
    EXPECT_EQ(gimbal.stats().blockFrames, 3u);
    EXPECT_TRUE(modal.boxes().empty()) << seen();
    expectNoWrongBlock(gimbal, file);
}

// The same late ack, stepped by hand so that it lands exactly where it did
// harm: while the slave switch is due (it used to send the switch twice, so
// image 3 went to a slave that does not exist) and while the next image's
// first block is due (it used to count that block as sent).
TEST_F(WindowTest, ALateBlockAckCountsOnlyWhileABlockIsOnItsWay) {
    openPort();
    loadFile(updateFile(1024, 1, 1, 1));
    probe.click("BtnUpdate");
    probe.step(2);  // set up image 1, send its block 0
    ASSERT_EQ(probe.send_state(), 10);
    probe.feed(gimbal::blockAckFrame(0));
    probe.step();  // image 1 done: the slave command
    ASSERT_EQ(probe.send_state(), 2);
    probe.feed(gimbal::blockAckFrame(1));  // a late ack whose index is the image's end
    EXPECT_EQ(probe.send_state(), 2);
    EXPECT_EQ(probe.block_index(), 1);

    probe.feed(gimbal::switchAckFrame());
    probe.step();  // set up image 2
    ASSERT_EQ(probe.send_state(), 9);
    probe.feed(gimbal::blockAckFrame(0));  // image 1's block 0 once more
    EXPECT_EQ(probe.block_index(), 0);
    probe.step();
    EXPECT_EQ(probe.send_state(), 10) << "image 2's block 0 is sent, not skipped";
    EXPECT_TRUE(modal.boxes().empty());
}

}  // namespace
}  // namespace trisk_test
