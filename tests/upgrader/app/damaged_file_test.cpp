// A firmware file whose stored CRC does not hold: it loads, the status line
// says so, and Start asks before anything is sent.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

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
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct Question {
    QString text;
    bool noIsDefault = false;
};

// Answers the damaged-file question by key: Return takes the default button.
ModalDriver::Handler answer(Question& seen, int key) {
    return [&seen, key](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr || box->button(QMessageBox::Yes) == nullptr) return false;
        seen.text = box->text();
        seen.noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        if (key == Qt::Key_Y)
            QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
        else
            QTest::keyClick(box, static_cast<Qt::Key>(key));
        return true;
    };
}

class DamagedFile : public WindowTest {
protected:
    void TearDown() override {
        WindowTest::TearDown();
        for (const auto& path : written) fs::remove(path);
    }
    void load(const Bytes& file, const std::string& name) {
        const fs::path path = fs::temp_directory_path() / ("quenlo-" + std::to_string(::getpid()) + "-" + name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        written.push_back(path);
        modals.expect(chooseFile(path.string()));
        click(vc->bt_FileBrowser);
    }
    std::vector<fs::path> written;
};

TEST_F(DamagedFile, StartAsksWithBothCrcsAndSendsNothingUnlessTheUserSaysYes) {
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.announcePeriod = 1000ms;
    sim::GimbalSim gimbal(options);
    std::string error;
    ASSERT_TRUE(gimbal.start(&error)) << error;
    plug({gimbal.slavePath()});
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] { return vc->bt_StartUpgrade->isEnabled(); }, 20s));

    const std::array<Bytes, 3> images{test_support::randomImage(2, 41), test_support::randomImage(1, 42),
                                      test_support::randomImage(1, 43)};
    Bytes file = gimbal::composeFirmwareFile(images, 1024);
    file[8 + 1024 + 5] ^= 0x10;  // one bit of MCU 0's second page
    const std::uint16_t stored = static_cast<std::uint16_t>(file[0] | file[1] << 8);
    const std::uint16_t computed = *gimbal::computeFirmwareCrc(file);
    const QString storedHex = QString::asprintf("0x%04X", stored);
    const QString computedHex = QString::asprintf("0x%04X", computed);
    load(file, "damaged.bin");
    const QString status = vc->lb_Status->text();
    EXPECT_TRUE(status.contains(storedHex) && status.contains(computedHex)) << status.toStdString();

    Question seen;
    modals.expect(answer(seen, Qt::Key_Return));
    click(vc->bt_StartUpgrade);
    EXPECT_TRUE(seen.text.contains(storedHex) && seen.text.contains(computedHex)) << seen.text.toStdString();
    EXPECT_TRUE(seen.noIsDefault);
    EXPECT_FALSE(vc->engine.upgradeStarted()) << "No must send nothing";
    EXPECT_TRUE(vc->bt_StartUpgrade->isEnabled()) << "the window stays ready";
    EXPECT_EQ(vc->lb_Status->text(), status);

    modals.expect(answer(seen, Qt::Key_Escape));
    click(vc->bt_StartUpgrade);
    EXPECT_FALSE(vc->engine.upgradeStarted()) << "Escape is no Yes";

    modals.expect(answer(seen, Qt::Key_Y));
    modals.expect(acceptAlert(modals));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return !modals.alertTexts.empty(); }, 60s));
    EXPECT_EQ(modals.alertTexts, std::vector<std::string>{"Upgrade Complete!!Please RESTART your gimbal."});
    // Exactly the file's pages: the refused starts sent none of their own.
    EXPECT_EQ(gimbal.stats().blockFrames, 4u);
    EXPECT_EQ(gimbal.image(0), Bytes(file.begin() + 8, file.begin() + 8 + 2048));
}

TEST_F(DamagedFile, ASoundFileLoadedNextTakesTheWarningBack) {
    const std::array<Bytes, 3> images{test_support::randomImage(1, 51), test_support::randomImage(1, 52),
                                      test_support::randomImage(1, 53)};
    const Bytes sound = gimbal::composeFirmwareFile(images, 1024);
    Bytes damaged = sound;
    damaged[0] ^= 1;
    const QString before = vc->lb_Status->text();
    load(damaged, "damaged.bin");
    EXPECT_NE(vc->lb_Status->text(), before);
    load(sound, "sound.bin");
    EXPECT_EQ(vc->lb_Status->text(), before) << "no warning about a file no longer loaded";
}

}  // namespace
}  // namespace app_test
