// The honest ends in the window, offscreen with real widgets against the simulated
// gimbal: a lost switch acknowledgement and a gimbal that restarts in the
// middle of an upgrade end with "send Failed" instead of waiting for ever,
// and a file with a page count of 0 is refused on load, naming the MCU.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <array>
#include <filesystem>
#include <fstream>

#include "app_fixture.h"
#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "tests/upgrader/support/random_image.h"

namespace app_ends_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using app_test::acceptAlert;
using app_test::chooseFile;
using app_test::waitUntil;
using Bytes = std::vector<std::uint8_t>;
using test_support::randomImage;

constexpr char kConnected[] = "Gimbal Connected, current firmware version V1.23";

class WindowEnds : public app_test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        dir = fs::temp_directory_path() / ("quenlo-ends-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::remove_all(dir);
        WindowTest::TearDown();
    }
    std::string write(const std::string& name, const Bytes& bytes) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    // A header with these counts, `pages` pages and `extra` bytes, its CRC filled in.
    std::string firmware(const std::string& name, std::array<std::uint16_t, 3> counts, std::size_t pages,
                         std::size_t extra = 0) {
        Bytes b(8, 0);
        for (std::size_t i = 0; i < 3; ++i) {
            b[2 + 2 * i] = static_cast<std::uint8_t>(counts[i]);
            b[3 + 2 * i] = static_cast<std::uint8_t>(counts[i] >> 8);
        }
        b.resize(8 + pages * 1024 + extra, 0x5A);
        const std::uint16_t crc = *gimbal::computeFirmwareCrc(b);
        b[0] = static_cast<std::uint8_t>(crc);
        b[1] = static_cast<std::uint8_t>(crc >> 8);
        return write(name, b);
    }

    // Loads an image of 2, 1 and 2 pages, opens the gimbal's port and waits
    // for its version report; the page timer is shortened for the test.
    void connect(sim::GimbalSim& gimbal) {
        const Bytes file =
            gimbal::composeFirmwareFile({randomImage(2, 41), randomImage(1, 42), randomImage(2, 43)}, 1024);
        modals.expect(chooseFile(write("fw.bin", file)));
        click(vc->bt_FileBrowser);
        ASSERT_TRUE(vc->engine.state().binbytes);
        vc->engine.setPageTimeout(1500ms);
        plug({gimbal.slavePath()});
        click(vc->bt_OpenPort);
        ASSERT_TRUE(waitUntil([&] { return vc->bt_StartUpgrade->isEnabled(); }, 20s));
        ASSERT_TRUE(gimbal.waitFor([](const sim::GimbalSim& g) { return g.stats().enterRequests >= 1; }));
    }

    static sim::Options gimbalOptions(std::map<std::size_t, sim::Fault> faults) {
        sim::Options options;
        options.dialect = sim::Dialect::Pages;
        options.version = 123;
        // Slow enough that no announcement shares a read with an acknowledgement.
        options.announcePeriod = 1000ms;
        options.faults = sim::faultsAt(faults);
        return options;
    }

    fs::path dir;
};

// Item 1: the switch request is timed like a page. A dropped switch
// acknowledgement (reply 2, after MCU 0's last page) showed nothing, ever.
TEST_F(WindowEnds, ALostSwitchAcknowledgementShowsSendFailed) {
    sim::GimbalSim gimbal(gimbalOptions({{2, sim::Fault::Drop}}));
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    ASSERT_NO_FATAL_FAILURE(connect(gimbal));

    modals.expect(acceptAlert(modals));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return !modals.alertTexts.empty(); }, 20s)) << "no time-out for the switch request";
    EXPECT_EQ(modals.alertTexts, std::vector<std::string>{"send Failed"});
    EXPECT_EQ(gimbal.stats().switchRequests, 1u);
    EXPECT_EQ(gimbal.stats().blockFrames, 2u);
    EXPECT_EQ(vc->engine.state().curMCU, 0);
}

// Item 2: a gimbal that restarts mid-upgrade announces itself again. The
// window does what it does for every version report (status with the
// version, the enter request, Start enabled), but the outstanding page keeps
// its timer: "send Failed" follows, where nothing followed before.
TEST_F(WindowEnds, AGimbalThatRestartsMidUpgradeIsShownAndTheUpgradeTimesOut) {
    sim::GimbalSim gimbal(gimbalOptions({{3, sim::Fault::Restart}}));
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    ASSERT_NO_FATAL_FAILURE(connect(gimbal));
    const std::size_t enters = gimbal.stats().enterRequests;

    modals.expect(acceptAlert(modals));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return gimbal.stats().repliesDue >= 4; }, 20s));
    ASSERT_TRUE(waitUntil([&] { return gimbal.stats().enterRequests > enters; }, 20s))
        << "the announcement mid-upgrade was not answered";
    EXPECT_EQ(vc->lb_Status->text().toStdString(), std::string(kConnected) +
                                                   ". The gimbal restarted during the upgrade (at MCU 1, page 0): "
                                                   "press Start to upgrade it again.");
    EXPECT_TRUE(vc->bt_StartUpgrade->isEnabled()) << "a restarted gimbal takes a new upgrade";
    EXPECT_TRUE(vc->engine.pageTimerRunning()) << "the upgrade was left without a timer";
    ASSERT_TRUE(waitUntil([&] { return !modals.alertTexts.empty(); }, 20s));
    EXPECT_EQ(modals.alertTexts, std::vector<std::string>{"send Failed"});
    EXPECT_EQ(gimbal.stats().blockFrames, 3u);

    // Start again upgrades the restarted gimbal from the first page.
    vc->engine.setPageTimeout(std::chrono::milliseconds(30000));
    modals.expect(acceptAlert(modals));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return modals.alertTexts.size() >= 2; }, 30s));
    EXPECT_EQ(modals.alertTexts.back(), "Upgrade Complete!!Please RESTART your gimbal.");
}

// Item 4: counts are unsigned, and a count of 0 cannot be sent. Such a file
// was loaded and, padded by a page, "upgraded" with MCU 1 holding MCU 2's
// first page; now it is refused on load, naming the MCU, and the file chosen
// before stays. Bytes after the last page are a warning on the status line.
TEST_F(WindowEnds, AZeroCountIsRefusedOnLoadAndTrailingBytesAreWarnedOf) {
    const std::string good = firmware("good.bin", {1, 1, 1}, 3);
    const std::string before = vc->lb_Status->text().toStdString();
    modals.expect(chooseFile(good));
    click(vc->bt_FileBrowser);
    ASSERT_EQ(vc->tf_filepath->text().toStdString(), good);
    EXPECT_EQ(vc->lb_Status->text().toStdString(), before);

    for (const std::string& zero : {firmware("zero.bin", {3, 0, 4}, 7), firmware("zero-padded.bin", {3, 0, 4}, 8)}) {
        modals.alertTexts.clear();
        modals.expect(chooseFile(zero));
        modals.expect(acceptAlert(modals));
        click(vc->bt_FileBrowser);
        ASSERT_TRUE(waitUntil([&] { return !modals.alertTexts.empty(); }));
        EXPECT_EQ(modals.alertTexts,
                  std::vector<std::string>{"Invalid file: MCU 1 has a page count of 0, which the upgrade cannot send "
                                           "(each MCU needs at least one page)"});
        EXPECT_EQ(vc->tf_filepath->text().toStdString(), good);
        EXPECT_EQ(vc->engine.state().pageCount, (engine::PageCounts{1, 1, 1}));
    }

    const std::string padded = firmware("padded.bin", {1, 1, 1}, 3, 1024);
    modals.expect(chooseFile(padded));
    click(vc->bt_FileBrowser);
    EXPECT_EQ(vc->tf_filepath->text().toStdString(), padded);
    EXPECT_EQ(vc->lb_Status->text().toStdString(),
              "The firmware image has 1024 bytes after MCU 2's last page; they are not sent");
    // A file without them takes the warning back.
    modals.expect(chooseFile(good));
    click(vc->bt_FileBrowser);
    EXPECT_EQ(vc->lb_Status->text().toStdString(), before);

    const std::string big = firmware("big.bin", {0x8000, 1, 1}, 0);  // read as 32768, not -32768
    modals.expect(chooseFile(big));
    click(vc->bt_FileBrowser);
    EXPECT_EQ(vc->engine.state().pageCount, (engine::PageCounts{32768, 1, 1}));
}

}  // namespace
}  // namespace app_ends_test
