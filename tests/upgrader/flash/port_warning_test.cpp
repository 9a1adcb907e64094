// quenlo-flash in-process against a simulated gimbal while the system (a
// folder standing in for /proc and udev's records) shows ModemManager
// running, or the port's lock path holds what cannot be removed: one warning
// line for the port, and the upgrade goes on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/firmware_file.h"
#include "link/serial_locks.h"
#include "sim/gimbal_sim.h"
#include "upgrader/flash/flash_run.h"
#include "tests/upgrader/support/random_image.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string writeFirmware(const fs::path& folder) {
    const Bytes file = gimbal::composeFirmwareFile(
        {test_support::randomImage(1, 1), test_support::randomImage(1, 2), test_support::randomImage(1, 3)}, 1024);
    const fs::path firmware = folder / "fw.bin";
    std::ofstream(firmware, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return firmware.string();
}

TEST(FlashPortWarning, ModemManagerThatMayProbeThePortIsOneWarningNotAFailure) {
    const fs::path root = fs::temp_directory_path() / ("flash-warn-" + std::to_string(::getpid()));
    fs::create_directories(root / "proc/4242");
    fs::create_directories(root / "udev");
    std::ofstream(root / "proc/4242/comm") << "ModemManager\n";

    sim::Options simOptions;
    simOptions.announcePeriod = std::chrono::milliseconds(50);
    sim::GimbalSim gimbal(simOptions);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    struct stat node {};
    ASSERT_EQ(::stat(gimbal.slavePath().c_str(), &node), 0);
    // A device udev manages and nothing marks as one for ModemManager to leave alone.
    std::ofstream(root / "udev" /
                  ("c" + std::to_string(::major(node.st_rdev)) + ":" + std::to_string(::minor(node.st_rdev))))
        << "E:ID_VENDOR=FTDI\n";

    flash::Options options;
    options.ports = {gimbal.slavePath()};
    options.file = writeFirmware(root);
    options.systemPaths.proc = (root / "proc").string();
    options.systemPaths.sys = (root / "sys").string();
    options.systemPaths.udevData = (root / "udev").string();
    std::ostringstream out, err;
    const int code = flash::runFlash(options, out, err, flash::OutputForm::Text);
    fs::remove_all(root);

    EXPECT_EQ(code, 0) << out.str() << err.str();
    const std::string warning =
        gimbal.slavePath() + ": warning: ModemManager is running and may probe " + gimbal.slavePath();
    const std::string text = err.str();
    std::size_t warnings = 0;
    for (std::size_t at = text.find(warning); at != std::string::npos; at = text.find(warning, at + 1)) ++warnings;
    EXPECT_EQ(warnings, 1u) << text;
    EXPECT_EQ(out.str().find("warning"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("summary: " + gimbal.slavePath() + ": upgraded"), std::string::npos) << out.str();
}

// A directory at the port's lock path cannot be unlinked, by root either: the
// upgrade goes ahead under the device's own locks, and the line names the
// path with a command that removes a directory.
TEST(FlashPortWarning, AKeptLockPathIsNamedOnStandardErrorAndTheUpgradeGoesOn) {
    const fs::path root = fs::temp_directory_path() / ("flash-kept-" + std::to_string(::getpid()));
    fs::create_directories(root);
    sim::GimbalSim gimbal;
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    const auto dir = gimbal::lockDirectory();
    ASSERT_TRUE(dir);
    const std::string lockPath = *dir + "/" + gimbal::lockFileNameFor(gimbal.slavePath());
    ASSERT_EQ(::mkdir(lockPath.c_str(), 0755), 0);

    flash::Options options;
    options.ports = {gimbal.slavePath()};
    options.file = writeFirmware(root);
    std::ostringstream out, err;
    const int code = flash::runFlash(options, out, err, flash::OutputForm::Text);
    ::rmdir(lockPath.c_str());
    fs::remove_all(root);

    EXPECT_EQ(code, 0) << out.str() << err.str();
    EXPECT_NE(
        err.str().find(gimbal.slavePath() + ": warning: " + lockPath + " is not a lock file at all but a directory"),
        std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("sudo rm -r " + lockPath + ")"), std::string::npos) << err.str();
}

}  // namespace
