// A whole upgrade through the real serial port against the simulated gimbal.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/upgrader/support/engine_delegate.h"
#include "tests/upgrader/support/fake_view.h"
#include "link/firmware_file.h"
#include "link/frame.h"
#include "sim/gimbal_sim.h"
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/platform/application.h"
#include "upgrader/serial/kiv_serial_port.h"
#include "tests/upgrader/support/random_image.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

using test_support::randomImage;

struct Case {
    bool longAnnouncement;
    std::uint16_t version;
    const char* status;
    std::array<std::size_t, 3> pages;
    std::uint32_t baud;
};

class EngineEndToEnd : public ::testing::TestWithParam<Case> {};

TEST_P(EngineEndToEnd, AWholeUpgradeLeavesExactlyTheFileInTheGimbal) {
    const Case& c = GetParam();
    test_support::FakeView view;
    UpgradeEngine engine(view, view, view.timerFactory());
    auto delegate = std::make_shared<test_support::EngineDelegate>(engine);
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.version = c.version;
    options.longAnnouncement = c.longAnnouncement;
    options.baud = c.baud;
    options.announcePeriod = std::chrono::milliseconds(100);
    options.announcementGate = delegate->openGate(std::chrono::seconds(20));
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;

    auto port = serial::KivSerialPort::serialPortWithPath(gimbal.slavePath());
    ASSERT_TRUE(port);
    port->setBaudRate(115200);
    port->setDelegate(delegate);
    view.port = port;
    port->open();
    delegate->portOpened();
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return view.startEnabled; }, std::chrono::seconds(20)));
    EXPECT_EQ(view.status, std::string("Gimbal Connected, current firmware version V") + c.status);

    // Let every announcement already on its way arrive before Start, so that
    // none shares a read with an acknowledgement. Counted in bytes: two
    // announcements that arrive in one read show one status.
    ASSERT_TRUE(gimbal.waitFor([](const sim::GimbalSim& g) { return g.stats().enterRequests >= 1; }));
    const std::size_t announcedBytes =
        gimbal.stats().announcementsSent * gimbal::announcementFrame(0, c.version, c.longAnnouncement).size();
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return delegate->bytesReceived() >= announcedBytes; },
                                           std::chrono::seconds(20)));

    const std::array<Bytes, 3> images{randomImage(c.pages[0], 1), randomImage(c.pages[1], 2),
                                      randomImage(c.pages[2], 3)};
    const Bytes file = gimbal::composeFirmwareFile(images, 1024, Bytes{1, 2, 3});
    const fs::path path = fs::temp_directory_path() / ("e2e-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    ASSERT_TRUE(engine.getFileInfo(path.string()));
    fs::remove(path);

    engine.bt_startUpgradePressed();
    ASSERT_TRUE(
        platform::runMainLoopUntil([&] { return view.status == "Upgrade Complete!!"; }, std::chrono::seconds(60)))
        << view.status;
    for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal.image(mcu), images[mcu]) << "MCU " << mcu;
    EXPECT_EQ(gimbal.stats().switchRequests, 2u);
    EXPECT_EQ(gimbal.stats().badCrcFrames, 0u);
    EXPECT_EQ(view.progress.back(), 1.0);
    EXPECT_EQ(static_cast<std::size_t>(std::count(view.prints.begin(), view.prints.end(), "send result : true")),
              c.pages[0] + c.pages[1] + c.pages[2]);
    EXPECT_TRUE(view.alerts == std::vector<std::string>{"Upgrade Complete!!Please RESTART your gimbal."});

    port->close();
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return delegate->closed(); }));
}

INSTANTIATE_TEST_SUITE_P(Geometries, EngineEndToEnd,
                         ::testing::Values(Case{true, 1234, "1.2.3.4", {3, 2, 4}, 0},
                                           Case{false, 150, "1.5", {1, 1, 1}, 115200}));

}  // namespace
}  // namespace engine
