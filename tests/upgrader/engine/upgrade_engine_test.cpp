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

Bytes imageFile(std::array<std::int16_t, 3> counts, std::size_t pages) {
    Bytes b{0, 0};
    for (std::int16_t c : counts) {
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
    void load(std::array<std::int16_t, 3> counts, std::size_t pages) {
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
    EXPECT_EQ(view.timers.size(), 6u);  // one per page, none for the switch requests
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

TEST_F(UpgradeEngineTest, ZeroCountStillSendsOnePageAndShiftsTheRest) {
    load({1, 0, 1}, 3);
    engine.bt_startUpgradePressed();
    for (const Bytes* r : {&kPageAck, &kSwitchAck, &kPageAck, &kSwitchAck}) engine.processGimbleResponse(*r);
    EXPECT_THAT(offsets(), ElementsAre("bin file offset: 8", "bin file offset: 1032", "bin file offset: 2056"));
    engine.processGimbleResponse(kPageAck);
    EXPECT_EQ(view.status, "Upgrade Complete!!");
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

TEST_F(UpgradeEngineTest, EveryFrameStopsThePageTimerButNoiseDoesNot) {
    load({2, 1, 1}, 4);
    engine.bt_startUpgradePressed();
    engine.processGimbleResponse(Bytes{0x00, 0x55, 0xAA, 0x00, 0x03});
    engine.processGimbleResponse(Bytes{0x55, 0xAA});  // too short to tell
    EXPECT_NE(view.armed(), nullptr);

    Bytes thirteen(13, 0);
    thirteen[0] = 0x55;
    thirteen[1] = 0xAA;
    engine.processGimbleResponse(thirteen);
    EXPECT_EQ(view.armed(), nullptr);
    EXPECT_EQ(engine.state().curPage, 0);
}

TEST_F(UpgradeEngineTest, VersionReportMidUpgradeLeavesTheStateAlone) {
    load({2, 1, 1}, 4);
    engine.bt_startUpgradePressed();
    engine.processGimbleResponse(kPageAck);
    view.startEnabled = false;
    engine.processGimbleResponse(kVersion123);
    EXPECT_EQ(view.armed(), nullptr);
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(engine.state().curPage, 1);
    EXPECT_EQ(*engine.state().curoffset, 1032);
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

    load({0, 0, 0}, 3);
    engine.bt_startUpgradePressed();
    EXPECT_EQ(view.alerts.back(), "The firmware image has no pages to send.");

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

    Bytes neg = imageFile({-1, 1, 1}, 0);
    ASSERT_TRUE(engine.getFileInfo(write(neg, "neg.bin")));
    EXPECT_EQ(engine.state().pageCount, (PageCounts{-1, 1, 1}));
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
