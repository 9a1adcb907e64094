#include "upgrader/engine/upgrade_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/upgrader/support/fake_view.h"
#include "tests/upgrader/support/gimbal_replies.h"
#include "upgrader/engine/diagnostics.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using test_support::FakeView;
using ::testing::ElementsAre;

using test_support::kPageAck;
using test_support::kSwitchAck;
const Bytes kVersion123{0x55, 0xAA, 0x00, 0x00, 0x04, 0x00, 0x00, 0x04, 0x7B, 0x00, 0xFC, 0x3F};

Bytes imageFile(std::array<std::uint16_t, 3> counts, std::size_t pages) {
    Bytes b{0, 0};
    for (std::uint16_t c : counts) {
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
        b.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    for (std::size_t p = 0; p < pages; ++p) b.insert(b.end(), 1024, static_cast<std::uint8_t>(p + 1));
    return b;
}

class UpgradeEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("engine-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const Bytes& bytes, const std::string& name = "fw.bin") {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
    void load(std::array<std::uint16_t, 3> counts, std::size_t pages) {
        ASSERT_TRUE(engine.getFileInfo(write(imageFile(counts, pages))));
    }
    std::vector<std::string> offsets() const { return view.logsStartingWith("bin file offset: "); }

    fs::path dir_;
    FakeView view;
    UpgradeEngine engine{view, view, view.timerFactory()};
};

TEST_F(UpgradeEngineTest, WorkedSequenceTwoOneThree) {
    load({2, 1, 3}, 6);
    engine.processGimbleResponse(kVersion123);
    EXPECT_EQ(view.status, "Gimbal Connected, current firmware version V1.23");
    EXPECT_TRUE(view.startEnabled);

    engine.bt_startUpgradePressed();
    ASSERT_NE(view.armed(), nullptr);
    EXPECT_EQ(view.armed()->interval, std::chrono::seconds(30));
    for (const Bytes* r : {&kPageAck, &kPageAck, &kSwitchAck, &kPageAck, &kSwitchAck, &kPageAck, &kPageAck, &kPageAck})
        engine.processGimbleResponse(*r);
    EXPECT_EQ(view.timers.size(), 8u);  // one per page and one per switch request
    EXPECT_THAT(offsets(), ElementsAre("bin file offset: 8", "bin file offset: 1032", "bin file offset: 2056",
                                       "bin file offset: 3080", "bin file offset: 4104", "bin file offset: 5128"));
    EXPECT_THAT(view.progress, ElementsAre(0.16, 0.33, 0.5, 0.66, 0.83, 1.0));
    EXPECT_THAT(view.logsStartingWith("switch MCU to "), ElementsAre("switch MCU to 1", "switch MCU to 2"));
    const auto page = [](std::uint16_t index, std::uint8_t filePage) {
        return pageDataFrame(index, Bytes(1024, static_cast<std::uint8_t>(filePage + 1)));
    };
    EXPECT_THAT(view.frames, ElementsAre(enterUpgradeModeFrame(), page(0, 0), page(1, 1), switchMCUFrame(), page(0, 2),
                                         switchMCUFrame(), page(0, 3), page(1, 4), page(2, 5)));
    EXPECT_THAT(view.events,
                ElementsAre("connected 1.23", "page 0.0 @8", "page 0.1 @1032", "switched 1", "page 1.0 @2056",
                            "switched 2", "page 2.0 @3080", "page 2.1 @4104", "page 2.2 @5128", "completed"));
    EXPECT_EQ(view.status, "Upgrade Complete!!");
    EXPECT_THAT(view.alerts, ElementsAre("Upgrade Complete!!Please RESTART your gimbal."));
    EXPECT_EQ(view.armed(), nullptr);
    EXPECT_EQ(engine.state().curMCU, 2);
    EXPECT_EQ(engine.state().curPage, 3);
    EXPECT_EQ(*engine.state().curoffset, 5128);

    engine.processGimbleResponse(kPageAck);  // complete again, nothing sent
    EXPECT_EQ(view.alerts.size(), 2u);
    EXPECT_EQ(view.frames.size(), 9u);
}

// A count of 0 would give that MCU a page of the next
// image and shift the rest; the file is refused on load, naming the MCU, and
// the image loaded before stays.
TEST_F(UpgradeEngineTest, AZeroCountIsRefusedOnLoadNamingTheMcu) {
    load({1, 1, 1}, 3);
    const std::string path = write(imageFile({1, 0, 1}, 3), "zero.bin");
    EXPECT_FALSE(engine.getFileInfo(path));
    EXPECT_EQ(engine.loadRefusalText(),
              "MCU 1 has a page count of 0, which the upgrade cannot send (each MCU needs at least one page)");
    EXPECT_EQ(engine.loadErrorText(), path + ": " + engine.loadRefusalText());
    EXPECT_EQ(engine.state().pageCount, (PageCounts{1, 1, 1}));
    engine.bt_startUpgradePressed();
    for (const Bytes* r : {&kPageAck, &kSwitchAck, &kPageAck, &kSwitchAck, &kPageAck}) engine.processGimbleResponse(*r);
    EXPECT_THAT(offsets(), ElementsAre("bin file offset: 8", "bin file offset: 1032", "bin file offset: 2056"));
    EXPECT_EQ(view.status, "Upgrade Complete!!");

    ASSERT_TRUE(engine.getFileInfo(write(imageFile({1, 1, 1}, 4), "padded.bin")));
    EXPECT_TRUE(engine.loadRefusalText().empty());
    EXPECT_EQ(engine.trailingBytesWarning(),
              "the firmware image has 1024 bytes after MCU 2's last page; they are not sent");
}

// The switch request is timed like a page; its time-out
// shows "send Failed", and a late acknowledgement still goes on.
TEST_F(UpgradeEngineTest, TheSwitchRequestIsTimedLikeAPage) {
    load({1, 1, 1}, 3);
    engine.bt_startUpgradePressed();
    engine.processGimbleResponse(kPageAck);
    EXPECT_EQ(view.frames.back(), switchMCUFrame());
    ASSERT_NE(view.armed(), nullptr) << "the switch request has no timer";
    EXPECT_EQ(view.armed()->interval, std::chrono::seconds(30));
    view.armed()->fire();
    EXPECT_THAT(view.alerts, ElementsAre("send Failed"));
    EXPECT_EQ(view.events.back(), "switch timed out 0");
    EXPECT_FALSE(engine.pageTimerRunning());

    engine.processGimbleResponse(kSwitchAck);  // late, still taken
    EXPECT_EQ(engine.state().curMCU, 1);
    EXPECT_NE(view.armed(), nullptr);
}

// A timer that fires late first lets what is already
// waiting in the input be read; an answer among it is no time-out.
TEST_F(UpgradeEngineTest, ATimerThatFiresLateReadsTheWaitingInputFirst) {
    load({2, 1, 1}, 4);
    view.holdVerdicts = true;
    engine.bt_startUpgradePressed();
    view.armed()->fire();
    ASSERT_EQ(view.heldVerdicts.size(), 1u);
    EXPECT_TRUE(view.alerts.empty());
    engine.processGimbleResponse(kPageAck);  // was waiting in the input
    view.heldVerdicts.front()();
    EXPECT_TRUE(view.alerts.empty()) << "an answer that was waiting was reported missing";
    EXPECT_EQ(engine.state().curPage, 1);
    ASSERT_NE(view.armed(), nullptr);

    view.armed()->fire();  // nothing waiting this time
    ASSERT_EQ(view.heldVerdicts.size(), 2u);
    view.heldVerdicts.back()();
    EXPECT_THAT(view.alerts, ElementsAre("send Failed"));
    EXPECT_EQ(view.events.back(), "timed out 0.1");
}

TEST_F(UpgradeEngineTest, ProgressRestartsAndUsesIntegerPercent) {
    load({1, 1, 1}, 3);
    for (int run = 0; run < 2; ++run) {
        view.progress.clear();
        engine.bt_startUpgradePressed();
        for (const Bytes* r : {&kPageAck, &kSwitchAck, &kPageAck, &kSwitchAck, &kPageAck})
            engine.processGimbleResponse(*r);
        EXPECT_THAT(view.progress, ElementsAre(0.33, 0.66, 1.0)) << run;
    }
}

TEST_F(UpgradeEngineTest, TimeoutShowsSendFailedAndALateAckContinues) {
    load({2, 1, 1}, 4);
    engine.bt_startUpgradePressed();
    ASSERT_NE(view.armed(), nullptr);
    view.armed()->fire();
    EXPECT_THAT(view.alerts, ElementsAre("send Failed"));
    EXPECT_EQ(view.events.back(), "timed out 0.0");
    EXPECT_FALSE(engine.pageTimerRunning());
    EXPECT_EQ(engine.state().curPage, 0);
    EXPECT_EQ(offsets().size(), 1u);  // nothing resent

    engine.processGimbleResponse(kPageAck);
    EXPECT_EQ(engine.state().curPage, 1);
    EXPECT_THAT(offsets().back(), "bin file offset: 1032");
}

// Only an acknowledgement that counts stops the timer: a frame that is no
// answer must not leave the page without one.
TEST_F(UpgradeEngineTest, OnlyAnAnswerStopsThePageTimer) {
    load({2, 1, 1}, 4);
    engine.bt_startUpgradePressed();
    engine.processGimbleResponse(Bytes{0x00, 0x55, 0xAA, 0x00, 0x03});
    engine.processGimbleResponse(Bytes{0x55, 0xAA});  // too short to tell
    EXPECT_NE(view.armed(), nullptr);

    Bytes thirteen(13, 0);
    thirteen[0] = 0x55;
    thirteen[1] = 0xAA;
    engine.processGimbleResponse(thirteen);
    EXPECT_NE(view.armed(), nullptr);
    engine.processGimbleResponse(Bytes{0x55, 0xAA, 0x01, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_NE(view.armed(), nullptr) << "a frame for another address stopped the timer";
    EXPECT_EQ(view.armedCount(), 1u);
    EXPECT_EQ(engine.state().curPage, 0);
}

// The window shows the version, answers it and enables
// Start, as in any phase; the upgrade keeps its timer, and the view is told
// the gimbal restarted and where.
TEST_F(UpgradeEngineTest, VersionReportMidUpgradeKeepsTheTimerAndTellsOfTheRestart) {
    load({2, 1, 1}, 4);
    engine.bt_startUpgradePressed();
    engine.processGimbleResponse(kPageAck);
    auto* timer = view.armed();
    ASSERT_NE(timer, nullptr);
    view.startEnabled = false;
    engine.processGimbleResponse(kVersion123);
    EXPECT_EQ(view.armed(), timer) << "the page timer was stopped or restarted";
    EXPECT_EQ(view.status, "Gimbal Connected, current firmware version V1.23");
    EXPECT_EQ(view.frames.back(), enterUpgradeModeFrame());
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(view.events.back(), "restarted 0.1/2");
    EXPECT_EQ(engine.state().curPage, 1);
    EXPECT_EQ(*engine.state().curoffset, 1032);
    timer->fire();
    EXPECT_THAT(view.alerts, ElementsAre("send Failed"));

    // While the switch is outstanding, and before any upgrade: no restart.
    engine.processGimbleResponse(kPageAck);
    ASSERT_EQ(view.frames.back(), switchMCUFrame());
    engine.processGimbleResponse(kVersion123);
    EXPECT_EQ(view.events.back(), "restarted 0.2/2");
    EXPECT_NE(view.armed(), nullptr);

    // Before the gimbal's first acknowledgement a report may have been on
    // its way before the enter request was taken: shown and answered, but no
    // restart; the page keeps its timer all the same.
    engine.bt_startUpgradePressed();
    auto* first = view.armed();
    view.events.clear();
    engine.processGimbleResponse(kVersion123);
    EXPECT_THAT(view.events, ElementsAre("connected 1.23"));
    EXPECT_EQ(view.armed(), first);

    UpgradeEngine fresh{view, view, view.timerFactory()};
    view.events.clear();
    fresh.processGimbleResponse(kVersion123);
    EXPECT_THAT(view.events, ElementsAre("connected 1.23"));
}

TEST_F(UpgradeEngineTest, StrayAcknowledgementsAreIgnored) {
    load({1, 1, 1}, 3);
    engine.processGimbleResponse(kPageAck);
    engine.processGimbleResponse(kSwitchAck);
    EXPECT_TRUE(offsets().empty());
    EXPECT_EQ(engine.state().curMCU, 0);
    EXPECT_EQ(engine.state().curPage, 0);

    engine.bt_startUpgradePressed();
    for (const Bytes* r : {&kPageAck, &kSwitchAck, &kPageAck, &kSwitchAck}) engine.processGimbleResponse(*r);
    ASSERT_EQ(engine.state().curMCU, 2);
    engine.processGimbleResponse(kSwitchAck);  // there is no MCU 3
    EXPECT_EQ(engine.state().curMCU, 2);
    EXPECT_EQ(offsets().size(), 3u);
}

TEST_F(UpgradeEngineTest, StartRefusesWhatCannotBeSentWhole) {
    engine.bt_startUpgradePressed();
    EXPECT_THAT(view.alerts, ElementsAre("Choose a firmware image before starting the upgrade."));

    EXPECT_FALSE(engine.getFileInfo(write(imageFile({0, 0, 0}, 3), "none.bin")));  // refused on load
    engine.bt_startUpgradePressed();
    EXPECT_EQ(view.alerts.back(), "Choose a firmware image before starting the upgrade.");

    load({2, 1, 3}, 5);  // one page short
    engine.bt_startUpgradePressed();
    EXPECT_EQ(view.alerts.back(), "The firmware image is shorter than its page counts say; nothing was sent.");
    EXPECT_EQ(view.events.back(), "stopped: " + view.alerts.back());
    EXPECT_TRUE(offsets().empty());
    EXPECT_TRUE(view.timers.empty());
    EXPECT_FALSE(engine.upgradeStarted());
}

TEST_F(UpgradeEngineTest, AShorterImageLoadedMidUpgradeStopsItBeforeAnythingIsCut) {
    load({2, 1, 1}, 4);
    engine.bt_startUpgradePressed();
    ASSERT_TRUE(engine.getFileInfo(write(imageFile({2, 1, 1}, 1), "short.bin")));
    engine.processGimbleResponse(kPageAck);
    EXPECT_THAT(view.alerts.back(), ::testing::HasSubstr("Page 1 of MCU 0 is not in the firmware image"));
    EXPECT_EQ(view.armed(), nullptr);
    EXPECT_FALSE(engine.upgradeStarted());
    engine.processGimbleResponse(kPageAck);  // ignored from now on
    EXPECT_EQ(view.logsStartingWith("Sending Page ").size(), 2u);
}

TEST_F(UpgradeEngineTest, StartAgainMidUpgradeDropsTheOldTimer) {
    load({2, 1, 1}, 4);
    engine.bt_startUpgradePressed();
    engine.bt_startUpgradePressed();
    EXPECT_EQ(view.armedCount(), 1u);
    EXPECT_EQ(engine.state().sendCount, 1);
}

TEST_F(UpgradeEngineTest, LoadingKeepsTheOldImageOnFailure) {
    load({2, 1, 3}, 6);
    EXPECT_THAT(view.logs.back(), "pageCount0:2 pageCount1:1 pageCount2:3");
    for (std::size_t n : {0, 1, 7}) {
        EXPECT_FALSE(engine.getFileInfo(write(Bytes(n, 0xFF), "bad" + std::to_string(n))));
        EXPECT_EQ(view.logs.back(), "bindata length 0");
    }
    EXPECT_FALSE(engine.getFileInfo((dir_ / "missing.bin").string()));
    EXPECT_THAT(engine.loadErrorText(), ::testing::HasSubstr("No such file or directory"));
    EXPECT_EQ(engine.state().pageCount, (PageCounts{2, 1, 3}));
    EXPECT_EQ(engine.state().binbytes->size(), 8u + 6 * 1024);

    Bytes big = imageFile({0xFFFF, 1, 1}, 0);
    ASSERT_TRUE(engine.getFileInfo(write(big, "big.bin")));
    EXPECT_EQ(engine.state().pageCount, (PageCounts{65535, 1, 1}));
}

// quenlo-flash --watch upgrades dozens of gimbals from one image of up to
// 200 MB: each engine sends from that one copy instead of its own.
TEST(UpgradeEngineImage, EnginesGivenOneImageShareItsBytes) {
    const auto image = std::make_shared<const LoadedImage>(LoadedImage{imageFile({1, 1, 1}, 3), {1, 1, 1}});
    FakeView a, b;
    UpgradeEngine first{a, a, a.timerFactory()}, second{b, b, b.timerFactory()};
    first.setImage(image);
    second.setImage(image);
    EXPECT_EQ(first.state().binbytes.get(), &image->binbytes);
    EXPECT_EQ(second.state().binbytes.get(), &image->binbytes);
    EXPECT_EQ(first.state().pageCount, (PageCounts{1, 1, 1}));
}

TEST(UpgradeDiagnostics, ChunksArePrintedAsNumbersAndUtf16) {
    EXPECT_EQ(decimalByteList({85, 170, 0, 3}), "[85, 170, 0, 3]");
    EXPECT_EQ(decimalByteList({}), "[]");
    EXPECT_EQ(utf16Text({'O', 0, 'K', 0}), "OK");
    EXPECT_EQ(utf16Text({0x3D, 0xD8, 0x00, 0xDE}), "\xF0\x9F\x98\x80");   // a surrogate pair
    EXPECT_EQ(utf16Text({0x00, 0xD8, 'A'}), "\xEF\xBF\xBD\xEF\xBF\xBD");  // lone surrogate, odd byte
}

}  // namespace
}  // namespace engine
