// A whole upgrade through the window's buttons against the simulated gimbal.
#include <QLabel>
#include <QPushButton>

#include <array>
#include <filesystem>
#include <fstream>

#include "app_fixture.h"
#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "tests/upgrader/support/random_image.h"

namespace app_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using test_support::randomImage;

using Upgrade = WindowTest;

TEST_F(Upgrade, AWholeUpgradeThroughTheButtonsLeavesTheFileInTheGimbal) {
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.version = 1234;
    // Slow enough that no announcement is still on its way once the gimbal
    // was answered, so none shares a read with an acknowledgement.
    options.announcePeriod = std::chrono::milliseconds(1000);
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;

    const std::array<Bytes, 3> images{randomImage(3, 7), randomImage(1, 8), randomImage(2, 9)};
    const Bytes file = gimbal::composeFirmwareFile(images, 1024, Bytes{9, 9, 9});
    const fs::path path = fs::temp_directory_path() / ("quenlo-upgrade-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    modals.expect(chooseFile(path.string()));
    click(vc->bt_FileBrowser);
    fs::remove(path);

    plug({gimbal.slavePath()});
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return vc->bt_StartUpgrade->isEnabled(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(vc->lb_Status->text().startsWith("Gimbal Connected, current firmware version "))
        << vc->lb_Status->text().toStdString();
    ASSERT_TRUE(gimbal.waitFor([](const sim::GimbalSim& g) { return g.stats().enterRequests >= 1; }));

    modals.expect(acceptAlert(modals));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return !modals.alertTexts.empty(); }, std::chrono::seconds(60)));
    EXPECT_EQ(modals.alertTexts, std::vector<std::string>{"Upgrade Complete!!Please RESTART your gimbal."});
    EXPECT_EQ(vc->lb_Status->text().toStdString(), "Upgrade Complete!!");
    EXPECT_EQ(vc->pgb_UpgradeProgress->doubleValue(), 1.0);
    EXPECT_EQ(vc->pgb_UpgradeProgress->value(), vc->pgb_UpgradeProgress->maximum());
    for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal.image(mcu), images[mcu]) << "MCU " << mcu;
    EXPECT_EQ(gimbal.stats().switchRequests, 2u);
}

}  // namespace
}  // namespace app_test
