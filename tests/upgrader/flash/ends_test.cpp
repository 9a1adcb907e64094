// Every upgrade ends, and ends honestly. quenlo-flash's own session
// code, in this process, against the simulated gimbal: a lost switch
// acknowledgement, a gimbal that restarts mid-upgrade, stray bytes in front
// of an acknowledgement, and a page timer that fires while the answer is
// already waiting in the input.
#include <gtest/gtest.h>

#include <QTimer>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "tests/upgrader/support/random_image.h"
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/flash/exit_codes.h"
#include "upgrader/flash/flash_run.h"
#include "upgrader/platform/background_queue.h"

#include <nlohmann/json.hpp>

namespace flash_ends_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using flash::ExitCode;
using sim::Fault;
using test_support::randomImage;

// Pages 2, 1, 2 give these replies, numbered as the simulator counts them:
// 0 ack MCU 0 page 0, 1 ack MCU 0 page 1, 2 switch ack after MCU 0,
// 3 ack MCU 1 page 0, 4 switch ack after MCU 1, 5 and 6 acks of MCU 2.
constexpr std::array<std::size_t, 3> kPages{2, 1, 2};

class FlashEnds : public ::testing::Test {
protected:
    void SetUp() override {
        images = {randomImage(kPages[0], 31), randomImage(kPages[1], 32), randomImage(kPages[2], 33)};
        file = fs::temp_directory_path() / ("flash-ends-" + std::to_string(::getpid()) + ".bin");
        const Bytes bytes = gimbal::composeFirmwareFile(images, 1024);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown() override { fs::remove(file); }

    static sim::Options gimbalOptions() {
        sim::Options options;
        options.dialect = sim::Dialect::Pages;
        options.announcePeriod = 20ms;
        return options;
    }

    // One run of quenlo-flash's session code. A run that never ends is taken
    // out by the watchdog, which removes the device: exit 5, not the code the
    // test expects.
    int flashOnce(sim::GimbalSim& gimbal, std::string& output, std::chrono::milliseconds pageTimeout,
                  std::chrono::milliseconds* took = nullptr) {
        flash::Options options;
        options.ports = {gimbal.slavePath()};
        options.wait = 10s;
        options.file = file.string();
        options.pageTimeout = pageTimeout;
        // Owned here, so that it never fires into a later test's run.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] { gimbal.stop(); });
        watchdog.start(20s);
        std::ostringstream out;
        const auto start = std::chrono::steady_clock::now();
        const int code = flash::runFlash(options, out, out, flash::OutputForm::Text);
        if (took)
            *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        watchdog.stop();
        output = out.str();
        return code;
    }

    void expectNoWrongPage(const sim::GimbalSim& gimbal) const {
        for (const sim::BlockRecord& r : gimbal.blockLog()) {
            ASSERT_LT(r.segment, 3u);
            ASSERT_LT(r.index * 1024u, images[r.segment].size());
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), images[r.segment].begin() + r.index * 1024))
                << "MCU " << r.segment << " page " << r.index;
        }
    }
    void expectUpgraded(const sim::GimbalSim& gimbal, const std::string& output) const {
        for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal.image(mcu), images[mcu]) << "MCU " << mcu;
        EXPECT_NE(output.find(engine::kUpgradeCompleteText), std::string::npos) << output;
    }

    std::array<Bytes, 3> images;
    fs::path file;
};

// Item 1: the switch request arms the page timer. A dropped, damaged or
// misaddressed switch acknowledgement, or a gimbal gone silent right there,
// left quenlo-flash waiting for ever; now "send Failed", exit 7.
TEST_F(FlashEnds, ALostSwitchAcknowledgementEndsWithSendFailed) {
    const struct {
        const char* name;
        std::map<std::size_t, Fault> faults;
        std::size_t silentAfter;
        std::size_t reply;
        int mcu;
    } cases[] = {
        {"dropped", {{2, Fault::Drop}}, SIZE_MAX, 2, 0},
        {"corrupted", {{4, Fault::CorruptCrc}}, SIZE_MAX, 4, 1},
        {"wrong address", {{2, Fault::WrongAddress}}, SIZE_MAX, 2, 0},
        {"silent", {}, 4, 4, 1},
    };
    for (const auto& c : cases) {
        sim::Options options = gimbalOptions();
        options.faults = sim::faultsAt(c.faults);
        options.silentAfter = c.silentAfter;
        sim::GimbalSim gimbal(options);
        std::string error;
        ASSERT_TRUE(gimbal.start(&error)) << error;
        std::string output;
        EXPECT_EQ(flashOnce(gimbal, output, 1500ms), flash::toInt(ExitCode::SendFailed)) << c.name << "\n" << output;
        EXPECT_NE(output.find(gimbal.slavePath() + ": alert: send Failed\n"), std::string::npos) << output;
        EXPECT_NE(output.find("no answer to the switch request after MCU " + std::to_string(c.mcu) + " within 30 s"),
                  std::string::npos)
            << c.name << "\n"
            << output;
        EXPECT_EQ(gimbal.stats().repliesDue, c.reply + 1) << c.name;
        expectNoWrongPage(gimbal);
    }
}

// Item 2: a version report in the middle of the upgrade means the gimbal
// restarted. quenlo-flash answered it, dropped the page timer and waited for
// ever; now it ends at once with exit 7 and says where, and that the upgrade
// must be run again. The page timer is left at its 30 s: the end must not wait
// for it.
TEST_F(FlashEnds, AGimbalThatRestartsMidUpgradeEndsTheRunAtOnce) {
    const struct {
        std::size_t reply;
        const char* where;
    } cases[] = {
        {3, "the gimbal restarted at MCU 1, page 0 "},
        {2, "the gimbal restarted at MCU 0, switching to MCU 1 "},
        {1, "the gimbal restarted at MCU 0, page 1 "},
    };
    for (const auto& c : cases) {
        sim::Options options = gimbalOptions();
        options.announcePeriod = 300ms;
        options.faults = sim::faultsAt({{c.reply, Fault::Restart}});
        sim::GimbalSim gimbal(options);
        std::string error;
        ASSERT_TRUE(gimbal.start(&error)) << error;
        std::string output;
        std::chrono::milliseconds took{};
        EXPECT_EQ(flashOnce(gimbal, output, engine::kPageTimeout, &took), flash::toInt(ExitCode::SendFailed)) << output;
        EXPECT_LT(took, 10s) << output;
        EXPECT_NE(output.find(c.where), std::string::npos) << output;
        EXPECT_NE(output.find("the upgrade must be run again"), std::string::npos) << output;
        EXPECT_NE(output.find("summary: " + gimbal.slavePath() + ": failed (exit 7): the gimbal restarted at"),
                  std::string::npos)
            << output;
        // The end comes on the first report after the restart, not after
        // hundreds. (The first one may be followed by one that was on its
        // way before the gimbal took the enter request: shown, and no restart.)
        std::size_t connected = 0;
        for (std::size_t at = 0; (at = output.find("Gimbal Connected", at)) != std::string::npos; ++at) ++connected;
        EXPECT_LE(connected, 3u) << output;
        EXPECT_EQ(output.find(engine::kUpgradeCompleteText), std::string::npos) << output;
        expectNoWrongPage(gimbal);
    }
}

// Item 3: six stray bytes, 55 AA 00 03 00 04, just before an acknowledgement
// made the reply assembler wait for a 1032-byte frame and the run fail after
// 30 s. Now the header is skipped and the acknowledgement taken at once.
// An acknowledgement in two pieces 250 ms apart (a network bridge) was
// dropped as stale and the run failed after 30 s; it is kept until whole.
TEST_F(FlashEnds, StrayBytesOrASlowSecondPieceBeforeAnAcknowledgementCostNothing) {
    const struct {
        const char* name;
        std::map<std::size_t, Fault> faults;
    } cases[] = {
        {"stray bytes", {{0, Fault::Stray}, {2, Fault::Stray}, {3, Fault::Stray}, {6, Fault::Stray}}},
        {"split 250 ms apart", {{0, Fault::Split}, {2, Fault::Split}}},
    };
    for (const auto& c : cases) {
        sim::Options options = gimbalOptions();
        options.faults = sim::faultsAt(c.faults);
        options.splitGap = 250ms;
        sim::GimbalSim gimbal(options);
        std::string error;
        ASSERT_TRUE(gimbal.start(&error)) << error;
        std::string output;
        std::chrono::milliseconds took{};
        EXPECT_EQ(flashOnce(gimbal, output, engine::kPageTimeout, &took), flash::toInt(ExitCode::Ok))
            << c.name << "\n" << output;
        EXPECT_LT(took, 10s) << c.name;
        expectUpgraded(gimbal, output);
        EXPECT_EQ(gimbal.stats().blockFrames, 5u) << c.name << ": a page was sent twice";
    }
}

// A gimbal whose receiver waits for the rest of a frame that will not come
// (the echo of its announcements at an adapter's first open read as a header
// of 16478 bytes) swallowed every request and kept announcing; the run ended
// after 30 s. It is sent the bytes that complete any frame, answered again,
// and upgraded; one line says why.
TEST_F(FlashEnds, AGimbalDeafToItsRequestsIsSentAFrameEndAndAnsweredAgain) {
    sim::Options options = gimbalOptions();
    options.heldAtStart = {0x55, 0xAA, 0x5E, 0x40, 0x5E, 0x40};
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    std::string output;
    std::chrono::milliseconds took{};
    EXPECT_EQ(flashOnce(gimbal, output, engine::kPageTimeout, &took), flash::toInt(ExitCode::Ok)) << output;
    std::printf("a deaf gimbal upgraded in %lld ms\n", static_cast<long long>(took.count()));
    EXPECT_LT(took, 15s);
    expectUpgraded(gimbal, output);
    const std::string why = "warning: the gimbal announced itself again before acknowledging the first page";
    const std::size_t at = output.find(why);
    EXPECT_NE(at, std::string::npos) << output;
    EXPECT_EQ(output.find(why, at + 1), std::string::npos) << output;
}

// Item 6: a page timer that fires while the acknowledgement is already
// waiting in the input (the process was stopped and continued, or starved)
// reads it first. Here the background thread that reads the port is held
// while the gimbal answers MCU 1's page 0, past the page time-out, as SIGSTOP
// holds every thread; it was reported as "no answer within 30 s".
TEST_F(FlashEnds, AnAnswerWaitingWhenThePageTimerFiresIsReadFirst) {
    sim::Options options = gimbalOptions();
    std::atomic<int> replies{0};
    options.replyGate = [&replies](std::size_t) {
        if (replies.fetch_add(1) != 3) return;
        // The reader is held before the reply is written, for longer than
        // the page time-out.
        auto started = std::make_shared<std::promise<void>>();
        auto ready = started->get_future();
        platform::backgroundQueueAsync([started] {
            started->set_value();
            std::this_thread::sleep_for(700ms);
        });
        ready.wait();
    };
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    std::string output;
    EXPECT_EQ(flashOnce(gimbal, output, 250ms), flash::toInt(ExitCode::Ok)) << output;
    EXPECT_GE(replies.load(), 7);
    expectUpgraded(gimbal, output);
    EXPECT_EQ(output.find("send Failed"), std::string::npos) << output;
}

}  // namespace
}  // namespace flash_ends_test

namespace flash_ends_test {
namespace {

// The three-axis side through the same session: blocks of the announced size
// (the file made for it), a lost acknowledgement ridden out by the next send,
// and each way of not going on ending with its name, code and place. Sends
// are 300 ms apart here instead of 3 s. Blocks 2, 1, 2 give replies 0 and 1
// for image 1, 2 its switch, 3 image 2's block, 4 the second switch.
TEST(FlashThreeAxis, EndsAsTheRowSaysAtEveryBlockSize) {
    const struct {
        std::size_t blockSize;
        std::size_t fileBlockSize;
        std::map<std::size_t, Fault> faults;
        std::size_t silentAfter;
        ExitCode code;
        const char* text;
    } rows[] = {
        {256, 256, {{0, Fault::Duplicate}, {3, Fault::Drop}}, SIZE_MAX, ExitCode::Ok, ": alert: SEND OK\n"},
        {1024, 1024, {{1, Fault::Drop}, {2, Fault::Duplicate}}, SIZE_MAX, ExitCode::Ok, ": alert: SEND OK\n"},
        {2048, 2048, {{1, Fault::CorruptCrc}, {5, Fault::Split}}, SIZE_MAX, ExitCode::Ok, ": alert: SEND OK\n"},
        {1024, 1024, {}, 3, ExitCode::SendFailed, "SEND FAIL: block 0 of image 2 was not acknowledged after 3 sends"},
        {256, 256, {}, 2, ExitCode::SendFailed, "SLAVE SET FAILE!: no answer to the slave switch after image 1"},
        {2048, 2048, {{3, Fault::Restart}}, SIZE_MAX, ExitCode::SendFailed, "the gimbal restarted at image 2, block 0"},
        {1024, 256, {}, SIZE_MAX, ExitCode::RefusedFile, "call for 5128: it was built for another block size"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.blockSize) + " " + row.text);
        std::array<Bytes, 3> images;
        for (std::size_t i = 0; i < 3; ++i) {
            images[i] = randomImage(kPages[i], static_cast<unsigned>(40 + i));
            images[i].resize(kPages[i] * row.fileBlockSize);
        }
        const fs::path file = fs::temp_directory_path() / ("flash-three-axis-" + std::to_string(::getpid()) + ".bin");
        const Bytes bytes = gimbal::composeFirmwareFile(images, row.fileBlockSize);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        sim::Options gimbalOptions;
        gimbalOptions.dialect = sim::Dialect::Blocks;
        gimbalOptions.blockSize = static_cast<std::uint16_t>(row.blockSize);
        gimbalOptions.announcePeriod = 300ms;
        gimbalOptions.faults = sim::faultsAt(row.faults);
        gimbalOptions.silentAfter = row.silentAfter;
        sim::GimbalSim gimbal(gimbalOptions);
        std::string error;
        ASSERT_TRUE(gimbal.start(&error)) << error;
        flash::Options options;
        options.ports = {gimbal.slavePath()};
        options.file = file.string();
        options.threeAxis = true;
        options.pageTimeout = 300ms;
        std::ostringstream out;
        EXPECT_EQ(flash::runFlash(options, out, out, flash::OutputForm::Text), flash::toInt(row.code)) << out.str();
        EXPECT_NE(out.str().find(row.text), std::string::npos) << out.str();
        for (std::size_t i = 0; i < 3 && row.code == ExitCode::Ok; ++i) EXPECT_EQ(gimbal.image(i), images[i]);
        EXPECT_EQ(gimbal.stats().malformedFrames, 0u);
        fs::remove(file);
    }
}

}  // namespace
}  // namespace flash_ends_test

namespace flash_ends_test {
namespace {

// --expect-version: the restarted gimbal's announcement, awaited without an
// answer, decides the code; the JSON summary carries the whole record.
TEST_F(FlashEnds, TheRestartedGimbalsAnnouncementConfirmsTheVersionOrNot) {
    const struct {
        bool threeAxis;
        std::optional<std::uint16_t> after;
        const char* expect;
        ExitCode code;
        const char* versionAfter;
    } rows[] = {
        {false, 124, "1.24", ExitCode::Ok, "1.24"},
        {false, 125, "1.24", ExitCode::VersionDiffers, "1.25"},
        {false, std::nullopt, "1.24", ExitCode::Unconfirmed, nullptr},
        {true, 150, "1.50", ExitCode::Ok, "1.5"},
        {true, std::nullopt, "1.5", ExitCode::Unconfirmed, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.threeAxis ? "three-axis " : "pages ") + row.expect);
        sim::Options gimbalOptions = FlashEnds::gimbalOptions();
        gimbalOptions.dialect = row.threeAxis ? sim::Dialect::Blocks : sim::Dialect::Pages;
        gimbalOptions.versionAfterUpgrade = row.after;
        gimbalOptions.restartAfterUpgrade = 100ms;
        sim::GimbalSim gimbal(gimbalOptions);
        std::string error;
        ASSERT_TRUE(gimbal.start(&error)) << error;
        flash::Options options;
        options.ports = {gimbal.slavePath()};
        options.file = file.string();
        options.threeAxis = row.threeAxis;
        options.expectVersion = row.expect;
        options.confirmWait = 1500ms;
        std::ostringstream out;
        EXPECT_EQ(flash::runFlash(options, out, out, flash::OutputForm::Json), flash::toInt(row.code)) << out.str();
        const std::string text = out.str();
        const auto summary = nlohmann::json::parse(text.substr(text.rfind("{\"event\":\"summary\"")), nullptr, false);
        ASSERT_TRUE(summary.is_object()) << text;
        EXPECT_EQ(summary["schema"], 1);
        EXPECT_EQ(summary["version_before"], "1.23");
        EXPECT_EQ(summary["version_after"], row.versionAfter ? nlohmann::json(row.versionAfter) : nlohmann::json());
        EXPECT_EQ(summary["image"]["counts"], nlohmann::json::array({2, 1, 2}));
        EXPECT_EQ(summary["image"]["block_size"], 1024);
        EXPECT_EQ(summary["dialect"], row.threeAxis ? "three-axis" : "pages");
        EXPECT_TRUE(summary["adapter"].is_null());
        for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal.image(mcu), images[mcu]) << "MCU " << mcu;
        // Nothing answered the restarted gimbal: no second upgrade began.
        EXPECT_EQ(gimbal.runs().size(), 1u) << text;
    }
}

}  // namespace
}  // namespace flash_ends_test
