// Faults on the gimbal's replies, end to end: the engine on a real serial port
// against the simulated gimbal. Each row names a fault and what the upgrader
// must make of it; the page timer is fired by the test through the fake view,
// so no row waits out the 30-second time-out.
//
// Elsewhere: a clean upgrade (end_to_end_test.cpp); a vanishing device, a port
// held by another program and the window closed mid-upgrade go through the
// real window (tests/upgrader/app/fault_injection_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <map>

#include "tests/upgrader/support/engine_delegate.h"
#include "tests/upgrader/support/fake_view.h"
#include "link/firmware_file.h"
#include "link/frame.h"
#include "sim/gimbal_sim.h"
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/platform/application.h"
#include "upgrader/serial/kiv_serial_port.h"
#include "tests/upgrader/support/pty.h"
#include "tests/upgrader/support/random_image.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using sim::Fault;
using namespace std::chrono_literals;

// Pages 2, 1, 2 give these replies, numbered as the simulator counts them:
// 0 ack MCU 0 page 0, 1 ack MCU 0 page 1 (its last), 2 switch ack,
// 3 ack MCU 1 page 0, 4 switch ack, 5 ack MCU 2 page 0, 6 ack MCU 2 page 1.
constexpr std::array<std::size_t, 3> kPages{2, 1, 2};

enum class Outcome {
    Complete,         // "Upgrade Complete!!", the gimbal holds exactly the file
    SendFailed,       // a page stays unanswered: the test fires its timer, "send Failed"
    StalledSilently,  // no page timer runs: nothing shown (no row may end so any more)
};

struct Row {
    const char* name;
    std::map<std::size_t, Fault> faults;
    Outcome outcome;
    std::size_t stallAt = 0;  // the reply the run stops on (not Complete)
    std::size_t splitPieces = 2;
    std::size_t silentAfter = std::numeric_limits<std::size_t>::max();
    bool lateAfterTimeOut = false;  // Delay: fire the page timer before the late ack lands
};

const Row kRows[] = {
    {"LateAckAfterTheTimeOutContinues",
     {{1, Fault::Delay}},
     Outcome::Complete,
     0,
     2,
     std::numeric_limits<std::size_t>::max(),
     true},
    {"DuplicatedMidImageAck", {{0, Fault::Duplicate}}, Outcome::Complete},
    {"DuplicatedLastAckOfAnMcu", {{1, Fault::Duplicate}, {3, Fault::Duplicate}}, Outcome::Complete},
    {"DuplicatedSwitchAck", {{2, Fault::Duplicate}, {4, Fault::Duplicate}}, Outcome::Complete},
    // The copy completes again: "Upgrade Complete!!" and its alert twice, nothing sent.
    {"DuplicatedFinalAck", {{6, Fault::Duplicate}}, Outcome::Complete},
    // The upgrader does not check a reply's CRC: a corrupted one still counts.
    {"CorruptedCrcStillCounts", {{3, Fault::CorruptCrc}}, Outcome::Complete},
    // The first piece carries 55 AA 00 03 / 55 AA 00 08: enough to act on.
    {"SplitInTwoStillCounts", {{0, Fault::Split}, {2, Fault::Split}, {5, Fault::Split}}, Outcome::Complete},
    {"NoiseInFrontHidesTheAck", {{1, Fault::Noise}}, Outcome::SendFailed, 1},
    {"DroppedPageAck", {{5, Fault::Drop}}, Outcome::SendFailed, 5},
    // The copy of page 0's ack lands while page 1 is out: it must not stop page 1's timer.
    {"DuplicatedAckThenALostOne", {{0, Fault::Duplicate}, {1, Fault::Drop}}, Outcome::SendFailed, 1},
    {"GimbalFallsSilentMidImage", {}, Outcome::SendFailed, 3, 2, 3},
    // The switch request is timed like a page.
    {"DroppedSwitchAck", {{2, Fault::Drop}}, Outcome::SendFailed, 2},
    {"CorruptedSwitchAckIsStillAnAck", {{4, Fault::CorruptCrc}}, Outcome::Complete},
    {"WrongAddressOnTheSwitchAck", {{2, Fault::WrongAddress}}, Outcome::SendFailed, 2},
    {"GimbalFallsSilentAtTheSwitch", {}, Outcome::SendFailed, 4, 2, 4},
    // A frame for another address is no answer: the page keeps its timer.
    {"WrongAddressKeepsThePageTimer", {{3, Fault::WrongAddress}}, Outcome::SendFailed, 3},
    // A gimbal that restarts announces itself again; the window shows the
    // version and answers it, but the page (or switch) keeps its timer.
    {"RestartMidImageKeepsThePageTimer", {{5, Fault::Restart}}, Outcome::SendFailed, 5},
    {"RestartAtTheSwitchKeepsItsTimer", {{2, Fault::Restart}}, Outcome::SendFailed, 2},
    // Before the first acknowledgement it is told at once as well (it was a
    // lost page 30 s later).
    {"RestartBeforeTheFirstAckIsToldAtOnce", {{0, Fault::Restart}}, Outcome::SendFailed, 0},
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

using test_support::randomImage;

bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 20s) {
    return platform::runMainLoopUntil(condition, deadline);
}

class EngineFaults : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        images_ = {randomImage(kPages[0], 11), randomImage(kPages[1], 12), randomImage(kPages[2], 13)};
        path_ = fs::temp_directory_path() / ("engine-faults-" + std::to_string(::getpid()) + ".bin");
        const Bytes file = gimbal::composeFirmwareFile(images_, 1024, Bytes{4, 5, 6});
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    void TearDown() override { fs::remove(path_); }

    // Opens the port, waits for the version report and for every announcement
    // to have landed, so none shares a read with an acknowledgement.
    void connect(sim::GimbalSim& gimbal) {
        port_ = serial::KivSerialPort::serialPortWithPath(gimbal.slavePath());
        ASSERT_TRUE(port_);
        port_->setBaudRate(115200);
        port_->setDelegate(delegate_);
        view_.port = port_;
        port_->open();
        delegate_->portOpened();
        ASSERT_TRUE(runUntil([&] { return view_.startEnabled; }));
        ASSERT_TRUE(gimbal.waitFor([](const sim::GimbalSim& g) { return g.stats().enterRequests >= 1; }));
        // In bytes: two announcements read together show one status.
        const std::size_t announcedBytes =
            gimbal.stats().announcementsSent * gimbal::announcementFrame(0, sim::Options{}.version).size();
        ASSERT_TRUE(runUntil([&] { return delegate_->bytesReceived() >= announcedBytes; }));
        ASSERT_TRUE(engine_.getFileInfo(path_.string()));
    }
    bool complete() const { return view_.status == kUpgradeCompleteText; }
    // The chunks as the engine took them, for a failure message.
    std::string received() const {
        std::string out;
        for (const std::string& line : view_.prints)
            if (line.rfind('[', 0) == 0) out += line + "\n";
        return out;
    }

    // Nothing recorded holds data other than the file's for its MCU and page.
    void expectNoWrongPage(const sim::GimbalSim& gimbal) const {
        for (const sim::BlockRecord& r : gimbal.blockLog()) {
            ASSERT_LT(r.segment, 3u);
            const Bytes& image = images_[r.segment];
            ASSERT_LT(r.index * 1024u, image.size()) << "MCU " << r.segment << " page " << r.index;
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), image.begin() + r.index * 1024))
                << "MCU " << r.segment << " page " << r.index;
        }
    }

    std::array<Bytes, 3> images_;
    fs::path path_;
    test_support::FakeView view_;
    UpgradeEngine engine_{view_, view_, view_.timerFactory()};
    std::shared_ptr<test_support::EngineDelegate> delegate_ = std::make_shared<test_support::EngineDelegate>(engine_);
    std::shared_ptr<serial::KivSerialPort> port_;
};

TEST_P(EngineFaults, EndsAsTheRowSaysAndNeverWithAWrongPage) {
    const Row& row = GetParam();
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.announcePeriod = 100ms;
    // Paced, so that a page takes its wire time.
    options.baud = 115200;
    options.delay = 1500ms;  // long enough for the test to fire the page timer first
    options.splitPieces = row.splitPieces;
    options.silentAfter = row.silentAfter;
    options.faults = sim::faultsAt(row.faults);
    // The engine judges a read by its first frame alone, so a reply read
    // together with the copy or the tail of the one before it would be lost:
    // each reply waits until the engine has everything sent before it.
    options.replyGate = [delegate = delegate_](std::size_t sentBefore) { delegate->waitForBytes(sentBefore, 20s); };
    options.announcementGate = delegate_->openGate(20s);
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    ASSERT_NO_FATAL_FAILURE(connect(gimbal));

    // Every announcement has landed (connect): none can still cross the
    // enter request, however soon the gimbal restarts.
    engine_.setAnnouncementInFlight(0ms);
    engine_.bt_startUpgradePressed();
    if (row.lateAfterTimeOut) {
        // The gimbal has the page and holds its ack back: the timer fires first.
        ASSERT_TRUE(runUntil([&] { return gimbal.stats().repliesDue >= 2; }));
        ASSERT_NE(view_.armed(), nullptr);
        view_.armed()->fire();
    }
    const std::size_t totalPages = kPages[0] + kPages[1] + kPages[2];
    if (row.outcome == Outcome::Complete) {
        ASSERT_TRUE(runUntil([&] { return complete(); }, 60s)) << received();
        // Let a duplicate of the last reply land too.
        ASSERT_TRUE(runUntil([&] { return gimbal.stats().repliesDue >= 7; }));
        test_support::observeFor(200ms);
        for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal.image(mcu), images_[mcu]) << "MCU " << mcu;
        EXPECT_EQ(gimbal.stats().blockFrames, totalPages) << "a page sent twice or skipped";
        EXPECT_EQ(gimbal.stats().switchRequests, 2u);
        std::vector<std::string> alerts{kUpgradeCompleteAlert};
        if (row.faults.count(6) && row.faults.at(6) == Fault::Duplicate) alerts.push_back(kUpgradeCompleteAlert);
        if (row.lateAfterTimeOut) alerts.insert(alerts.begin(), kSendFailedAlert);
        EXPECT_TRUE(runUntil([&] { return view_.alerts.size() >= alerts.size(); }));
        EXPECT_EQ(view_.alerts, alerts);
    } else {
        // The gimbal has decided the faulty reply.
        ASSERT_TRUE(runUntil([&] { return gimbal.stats().repliesDue > row.stallAt; }));
        const bool restarts = std::any_of(row.faults.begin(), row.faults.end(),
                                          [](const auto& fault) { return fault.second == Fault::Restart; });
        if (restarts) {
            // The window's part: the version shown again, the enter request
            // answered, Start enabled, and the request's timer still running.
            ASSERT_TRUE(runUntil([&] {
                return std::any_of(view_.events.begin(), view_.events.end(), [](const std::string& e) {
                    return e.rfind("restarted ", 0) == 0 || e == "announced again";
                });
            }));
            EXPECT_TRUE(view_.startEnabled);
            EXPECT_EQ(view_.status, "Gimbal Connected, current firmware version V1.23");
            const auto firstPage =
                std::find_if(view_.frames.begin(), view_.frames.end(), [](const Bytes& f) { return f.size() > 1000; });
            EXPECT_NE(std::find(firstPage, view_.frames.end(), enterUpgradeModeFrame()), view_.frames.end())
                << "the announcement in the middle of the upgrade was not answered";
        }
        if (row.outcome == Outcome::StalledSilently) {
            ASSERT_TRUE(runUntil([&] { return view_.armed() == nullptr; }));
        } else {
            ASSERT_NE(view_.armed(), nullptr) << "the unanswered page has no timer";
            view_.armed()->fire();
        }
        test_support::observeFor(300ms);
        EXPECT_FALSE(complete());
        EXPECT_EQ(std::count(view_.statuses.begin(), view_.statuses.end(), kUpgradeCompleteText), 0);
        const std::vector<std::string> alerts = row.outcome == Outcome::SendFailed
                                                    ? std::vector<std::string>{kSendFailedAlert}
                                                    : std::vector<std::string>{};
        EXPECT_EQ(view_.alerts, alerts);
        EXPECT_EQ(gimbal.stats().repliesDue, row.stallAt + 1) << "nothing was sent after the stall";
        EXPECT_LT(gimbal.stats().blockFrames, totalPages);
    }
    expectNoWrongPage(gimbal);
    EXPECT_EQ(gimbal.stats().badCrcFrames, 0u);

    port_->close();
    EXPECT_TRUE(runUntil([&] { return delegate_->closed(); }));
}

INSTANTIATE_TEST_SUITE_P(Replies, EngineFaults, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Loads an image of 2, 1 and 2 pages into an engine without a port.
void loadPagesTwoOneTwo(UpgradeEngine& engine) {
    const fs::path path = fs::temp_directory_path() / ("engine-loose-" + std::to_string(::getpid()) + ".bin");
    const Bytes file = gimbal::composeFirmwareFile({randomImage(2, 1), randomImage(1, 2), randomImage(2, 3)}, 1024);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    ASSERT_TRUE(engine.getFileInfo(path.string()));
    fs::remove(path);
}

// The copies above, delivered one by one without a port: a copy is never
// taken for the request sent after the original and leaves its page timer
// running, while an acknowledgement that names no page (too short to) still
// counts. Once complete, a copy of the last one completes again.
TEST(EngineLateCopies, AreNotTakenForTheNextPageOrSwitch) {
    test_support::FakeView view;
    UpgradeEngine engine{view, view, view.timerFactory()};
    ASSERT_NO_FATAL_FAILURE(loadPagesTwoOneTwo(engine));

    engine.bt_startUpgradePressed();
    for (const Bytes& reply : {gimbal::blockAckFrame(0), gimbal::blockAckFrame(0)}) engine.processGimbleResponse(reply);
    EXPECT_EQ(engine.state().curPage, 1);
    EXPECT_NE(view.armed(), nullptr) << "the copy stopped the timer of page 1";
    for (const Bytes& reply : {gimbal::blockAckFrame(1), gimbal::blockAckFrame(1)}) engine.processGimbleResponse(reply);
    EXPECT_EQ(engine.state().curPage, 2) << "the copy asked for a second switch";
    for (const Bytes& reply : {gimbal::switchAckFrame(), gimbal::switchAckFrame()}) engine.processGimbleResponse(reply);
    EXPECT_EQ(engine.state().curMCU, 1);
    EXPECT_EQ(engine.state().curPage, 0);
    EXPECT_EQ(*engine.state().curoffset, 8 + 2 * 1024);
    EXPECT_NE(view.armed(), nullptr) << "the copy stopped the timer of MCU 1's page 0";

    engine.processGimbleResponse(Bytes{0x55, 0xAA, 0x00, 0x03});
    EXPECT_EQ(engine.state().curPage, 1);
    EXPECT_EQ(view.logsStartingWith("Sending Page").size(), 3u);

    for (const Bytes& reply : {gimbal::switchAckFrame(), gimbal::blockAckFrame(0), gimbal::blockAckFrame(1)})
        engine.processGimbleResponse(reply);
    ASSERT_EQ(view.alerts, std::vector<std::string>{kUpgradeCompleteAlert});
    const std::size_t pagesSent = view.logsStartingWith("Sending Page").size();
    engine.processGimbleResponse(gimbal::blockAckFrame(1));
    EXPECT_EQ(view.alerts, (std::vector<std::string>{kUpgradeCompleteAlert, kUpgradeCompleteAlert}));
    EXPECT_EQ(view.status, kUpgradeCompleteText);
    EXPECT_EQ(view.logsStartingWith("Sending Page").size(), pagesSent);
    EXPECT_EQ(view.armed(), nullptr);
}

// An announcement the gimbal sent while the enter request was on its way
// may arrive after Start: answered, and no sign of a restart.
TEST(EngineLateCopies, AnAnnouncementThatCrossedTheEnterRequestIsNoRestart) {
    test_support::FakeView view;
    UpgradeEngine engine{view, view, view.timerFactory()};
    ASSERT_NO_FATAL_FAILURE(loadPagesTwoOneTwo(engine));
    const Bytes announcement = gimbal::announcementFrame(1024, 123);
    engine.processGimbleResponse(announcement);
    engine.bt_startUpgradePressed();
    engine.processGimbleResponse(announcement);
    EXPECT_EQ(std::count(view.events.begin(), view.events.end(), "announced again"), 0);
    EXPECT_NE(view.armed(), nullptr);
}

// A reply that comes in three reads is lost: 55 AA 00 alone cannot be told
// apart and the rest are not frames, so the page keeps its timer. Fed read by
// read here, since on the line a busy reader may take the pieces in one read,
// which is a whole acknowledgement.
TEST(EngineSplitReply, InThreeReadsIsNoAcknowledgement) {
    test_support::FakeView view;
    UpgradeEngine engine{view, view, view.timerFactory()};
    ASSERT_NO_FATAL_FAILURE(loadPagesTwoOneTwo(engine));

    engine.bt_startUpgradePressed();
    const Bytes ack = gimbal::blockAckFrame(0);
    for (std::size_t i = 0; i < 3; ++i)
        engine.serialPortDidReceiveData(nullptr,
                                        Bytes(ack.begin() + static_cast<std::ptrdiff_t>(ack.size() * i / 3),
                                              ack.begin() + static_cast<std::ptrdiff_t>(ack.size() * (i + 1) / 3)));
    EXPECT_EQ(engine.state().curPage, 0);
    EXPECT_EQ(view.logsStartingWith("Sending Page").size(), 1u);
    ASSERT_NE(view.armed(), nullptr) << "the unanswered page has no timer";
    view.armed()->fire();
    EXPECT_EQ(view.alerts, std::vector<std::string>{kSendFailedAlert});
}

namespace three_axis {

// A three-axis file of 2, 0 and 1 blocks of `blockSize` bytes, in an engine
// without a port that the gimbal has announced `announced` to.
struct Bench {
    explicit Bench(std::size_t blockSize, std::uint16_t announced) {
        for (std::size_t i = 0; i < 3; ++i) {
            images[i] = randomImage(std::array<std::size_t, 3>{2, 0, 1}[i], static_cast<unsigned>(blockSize + i));
            images[i].resize(images[i].size() / 1024 * blockSize);
        }
        path = fs::temp_directory_path() / ("engine-three-axis-" + std::to_string(::getpid()) + ".bin");
        const Bytes file = gimbal::composeFirmwareFile(images, blockSize);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        engine.processGimbleResponse(gimbal::announcementFrame(announced, 150));
        EXPECT_TRUE(engine.getFileInfo(path.string()) || blockSize == 0);
        fs::remove(path);
    }
    Bytes blockFrame(std::size_t image, std::uint16_t index) const {
        const auto size = static_cast<std::ptrdiff_t>(engine.blockSize());
        const auto from = images[image].begin() + index * size;
        return gimbal::buildBlockFrame(index, Bytes(from, from + size));
    }
    void fire() {
        ASSERT_NE(view.armed(), nullptr);
        EXPECT_EQ(view.armed()->interval, 3s);
        view.armed()->fire();
    }
    std::array<Bytes, 3> images;
    fs::path path;
    test_support::FakeView view;
    UpgradeEngine engine{view, view, view.timerFactory(), Dialect::threeAxis()};
};

// The whole exchange at each block size: the announced size cuts the blocks,
// an acknowledgement counts only for the block sent (a wrong index or a copy
// of the last one does nothing), a silent block goes out again as it was, an
// empty image is switched past, and the end is "SEND OK".
class ThreeAxisSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ThreeAxisSizes, SendsEveryBlockAtTheAnnouncedSize) {
    const std::size_t size = GetParam();
    Bench b(size, static_cast<std::uint16_t>(size));
    EXPECT_EQ(b.view.frames, std::vector<Bytes>{gimbal::linkReplyFrame()});
    EXPECT_EQ(b.view.statuses, (std::vector<std::string>{"LINK OK !", "VERSION 1.5"}));
    b.engine.bt_startUpgradePressed();
    for (const Bytes& reply : {gimbal::blockAckFrame(1), gimbal::blockAckFrame(0), gimbal::blockAckFrame(0),
                               gimbal::blockAckFrame(1), gimbal::switchAckFrame(), gimbal::switchAckFrame()})
        b.engine.processGimbleResponse(reply);
    ASSERT_NO_FATAL_FAILURE(b.fire());
    ASSERT_NO_FATAL_FAILURE(b.fire());
    b.engine.processGimbleResponse(gimbal::blockAckFrame(0));
    const Bytes slave = gimbal::updaterSwitchFrame();
    const Bytes last = b.blockFrame(2, 0);
    EXPECT_EQ(b.view.frames, (std::vector<Bytes>{gimbal::linkReplyFrame(), b.blockFrame(0, 0), b.blockFrame(0, 1),
                                                 slave, slave, last, last, last}));
    EXPECT_EQ(b.view.statuses.back(), "Set Slave2 Mode OK");
    EXPECT_EQ(b.view.alerts, std::vector<std::string>{"SEND OK"});
    EXPECT_EQ(b.view.events.back(), "completed");
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, ThreeAxisSizes, ::testing::Values(256u, 1024u, 2048u));

// How a three-axis upgrade ends when the gimbal does not go on.
TEST(ThreeAxisFaults, EachEndsWithItsNameAndPlace) {
    struct Row {
        const char* name;
        std::uint16_t announced;
        std::vector<Bytes> replies;  // after Start
        int fires;                   // timer runs out this often
        std::vector<std::string> alerts;
        std::string lastEvent;
    };
    const Row rows[] = {
        {"silent block", 1024, {gimbal::blockAckFrame(0)}, 3, {"SEND FAIL"}, "timed out 0.1"},
        {"dropped ack, resent", 1024, {gimbal::blockAckFrame(0)}, 1, {}, "page 0.1 @1032"},
        {"silent switch",
         1024,
         {gimbal::blockAckFrame(0), gimbal::blockAckFrame(1)},
         1,
         {"SLAVE SET FAILE!"},
         "switch timed out 0"},
        {"restart", 1024, {gimbal::blockAckFrame(0), gimbal::announcementFrame(1024, 150)}, 0, {}, "restarted 0.1/2"},
        {"block size 0",
         0,
         {},
         0,
         {"The gimbal announced a block size of 0 bytes, which cannot carry firmware; nothing was sent."},
         "stopped: "},
        {"too large",
         2101,
         {},
         0,
         {"The gimbal announced a block size of 2101 bytes, above the largest accepted (2100 bytes); nothing was "
          "sent."},
         "stopped: "},
        {"shorter than counts",
         2048,
         {},
         0,
         {"The firmware file has 3080 bytes, but its block counts (2, 0, 1) in blocks of the announced 2048 bytes call "
          "for 6152: it was built for another block size; nothing was sent."},
         "stopped: "},
        {"built for 1024",
         512,
         {},
         0,
         {"The firmware file is built for blocks of 1024 bytes (its block counts (2, 0, 1) fill it exactly), but the "
          "gimbal announced blocks of 512 bytes; nothing was sent."},
         "stopped: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bench b(1024, row.announced);
        b.engine.bt_startUpgradePressed();
        for (const Bytes& reply : row.replies) b.engine.processGimbleResponse(reply);
        for (int i = 0; i < row.fires; ++i) ASSERT_NO_FATAL_FAILURE(b.fire());
        EXPECT_EQ(b.view.alerts, row.alerts);
        ASSERT_FALSE(b.view.events.empty());
        EXPECT_EQ(b.view.events.back().rfind(row.lastEvent, 0), 0u) << b.view.events.back();
        // Only the announcement before the first block is answered.
        EXPECT_EQ(std::count(b.view.frames.begin(), b.view.frames.end(), gimbal::linkReplyFrame()), 1);
    }
}

}  // namespace three_axis

}  // namespace
}  // namespace engine
