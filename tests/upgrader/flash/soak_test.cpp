// quenlo-flash's upgrade code run many times over in one process against one
// simulated gimbal with random faults it can recover from: every run must
// leave exactly the file in the gimbal, and nothing may pile up between runs
// (threads, descriptors, objects left on the application). Also the faults a
// headless run cannot recover from: it must end with its own code, not hang.
#include <dirent.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/flash/exit_codes.h"
#include "upgrader/flash/flash_run.h"
#include "upgrader/platform/application.h"
#include "upgrader/serial/kiv_serial_port.h"
#include "tests/upgrader/support/random_image.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using flash::ExitCode;

constexpr int kRuns = 200;
constexpr std::array<std::size_t, 3> kPages{2, 1, 2};

using test_support::randomImage;

std::size_t entriesIn(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

struct Usage {
    std::size_t threads, descriptors, appChildren;
};

// Counted once the last run's port is gone and its deferred deletions ran.
Usage usageNow(const std::string& path) {
    platform::runMainLoopUntil([&] { return serial::KivSerialPort::existingPortWithPath(path) == nullptr; }, 10s);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return {entriesIn("/proc/self/task"), entriesIn("/proc/self/fd"),
            static_cast<std::size_t>(QCoreApplication::instance()->children().size())};
}

class FlashOnOnePort : public ::testing::Test {
protected:
    void SetUp() override {
        images = {randomImage(kPages[0], 21), randomImage(kPages[1], 22), randomImage(kPages[2], 23)};
        file = fs::temp_directory_path() / ("flash-soak-" + std::to_string(::getpid()) + ".bin");
        const Bytes bytes = gimbal::composeFirmwareFile(images, 1024, Bytes{7, 7, 7});
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown() override { fs::remove(file); }

    int flashOnce(const std::string& port, std::string* output = nullptr,
                  std::chrono::milliseconds pageTimeout = engine::kPageTimeout) {
        flash::Options options;
        options.ports = {port};
        options.wait = 20s;
        options.file = file.string();
        options.pageTimeout = pageTimeout;
        std::ostringstream out;  // both streams, as on a terminal
        const int code = flash::runFlash(options, out, out, flash::OutputForm::Text);
        if (output) *output = out.str();
        return code;
    }

    // The pages run `run` left, in the order they came, against the file:
    // each MCU's pages in order, the MCU counted by the gimbal's switches.
    void expectRunRecorded(const std::vector<sim::BlockRecord>& log, std::size_t from, std::size_t run) const {
        std::size_t at = from;
        for (std::size_t mcu = 0; mcu < 3; ++mcu) {
            for (std::size_t page = 0; page < kPages[mcu]; ++page, ++at) {
                ASSERT_LT(at, log.size()) << "run " << run << ": MCU " << mcu << " page " << page << " missing";
                EXPECT_EQ(log[at].segment, 2 * run + mcu) << "run " << run;
                EXPECT_EQ(log[at].index, page) << "run " << run;
                EXPECT_TRUE(std::equal(log[at].data.begin(), log[at].data.end(),
                                       images[mcu].begin() + static_cast<std::ptrdiff_t>(page * 1024)))
                    << "run " << run << ": MCU " << mcu << " page " << page;
                EXPECT_EQ(log[at].data.size(), 1024u);
            }
        }
        EXPECT_EQ(log.size(), at) << "run " << run << ": a page sent twice";
    }

    std::array<Bytes, 3> images;
    fs::path file;
};

// Duplicated, split, noisy and late (well within the page time-out) replies:
// the protocol gets past each of them without a retry. Lost or damaged ones
// are only noticed by the 30 s time-out, which ends a headless run.
TEST_F(FlashOnOnePort, TwoHundredUpgradesWithRecoverableFaultsAllLeaveTheFileAndNothingPilesUp) {
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.announcePeriod = 20ms;
    options.delay = 20ms;
    options.faults = sim::randomFaults(
        20261208, 0.3, {sim::Fault::Duplicate, sim::Fault::Split, sim::Fault::Noise, sim::Fault::Delay});
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    const std::string port = gimbal.slavePath();

    Usage first{};
    const auto started = std::chrono::steady_clock::now();
    for (int run = 0; run < kRuns; ++run) {
        const std::size_t before = gimbal.blockLog().size();
        std::string output;
        ASSERT_EQ(flashOnce(port, &output), flash::toInt(ExitCode::Ok)) << "run " << run << "\n" << output;
        ASSERT_NO_FATAL_FAILURE(expectRunRecorded(gimbal.blockLog(), before, static_cast<std::size_t>(run)));
        if (::testing::Test::HasFailure()) return;
        // The gimbal is restarted by the hang-up, as the user is told to;
        // only then does it announce itself to the next run.
        ASSERT_TRUE(platform::runMainLoopUntil(
            [&] { return gimbal.stats().hangups >= static_cast<std::size_t>(run) + 1; }, 20s))
            << "run " << run;
        if (run == 0) first = usageNow(port);
    }
    const auto took = std::chrono::steady_clock::now() - started;
    const Usage last = usageNow(port);
    std::printf("soak: %d upgrades in %.1f s; threads %zu -> %zu, descriptors %zu -> %zu, objects %zu -> %zu\n", kRuns,
                std::chrono::duration<double>(took).count(), first.threads, last.threads, first.descriptors,
                last.descriptors, first.appChildren, last.appChildren);
    // The serial executors' shared pool keeps up to kPoolWorkers idle workers
    // (a thread and its event descriptor each) for a while, more of them on a
    // loaded machine; anything kept per run would show as hundreds.
    constexpr std::size_t kPoolWorkers = 4;
    EXPECT_LE(last.threads, first.threads + kPoolWorkers);
    EXPECT_LE(last.descriptors, first.descriptors + kPoolWorkers);
    EXPECT_LE(last.appChildren, first.appChildren);
    EXPECT_GT(gimbal.stats().repliesSent, gimbal.stats().repliesDue) << "the faults did not happen";
}

// A run that no reply can finish ends with the page time-out, fired early here
// through the session's own timer (the one-shot timer on the application).
struct Unrecoverable {
    const char* name;
    sim::Fault fault;
};

void PrintTo(const Unrecoverable& u, std::ostream* os) {
    *os << u.name;
}

class FlashUnrecoverable : public FlashOnOnePort, public ::testing::WithParamInterface<Unrecoverable> {};

TEST_P(FlashUnrecoverable, EndsWithSendFailedAndNoWrongPage) {
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.announcePeriod = 20ms;
    options.faults = sim::faultsAt({{3, GetParam().fault}});  // the ack of MCU 1's page
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;

    // The page timer is the only thing that can end the run; shortened here.
    // A run that has none left would hang: the watchdog then takes the device
    // away, which ends it with another code.
    QTimer watchdog;  // owned here, so that it never fires into a later test's run
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] { gimbal.stop(); });
    watchdog.start(20s);
    std::string output;
    EXPECT_EQ(flashOnce(gimbal.slavePath(), &output, 1500ms), flash::toInt(ExitCode::SendFailed)) << output;
    EXPECT_NE(output.find(gimbal.slavePath() + ": alert: send Failed\n"), std::string::npos) << output;
    EXPECT_EQ(output.find(engine::kUpgradeCompleteText), std::string::npos) << output;
    for (const sim::BlockRecord& r : gimbal.blockLog()) {
        ASSERT_LT(r.segment, 3u);
        EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), images[r.segment].begin() + r.index * 1024));
    }
    EXPECT_EQ(gimbal.stats().blockFrames, 3u);  // up to MCU 1's page, nothing resent
}

INSTANTIATE_TEST_SUITE_P(Replies, FlashUnrecoverable,
                         ::testing::Values(Unrecoverable{"Dropped", sim::Fault::Drop},
                                           Unrecoverable{"CorruptedCrc", sim::Fault::CorruptCrc},
                                           Unrecoverable{"WrongAddress", sim::Fault::WrongAddress}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
