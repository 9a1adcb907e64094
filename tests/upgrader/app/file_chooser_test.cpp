// The firmware file chooser, answered through the real dialog.
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app_fixture.h"
#include "tests/support/fifo_unblocker.h"

namespace app_test {
namespace {

namespace fs = std::filesystem;

class FileChooser : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        dir = fs::temp_directory_path() / ("quenlo-chooser-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::remove_all(dir);
        WindowTest::TearDown();
    }
    std::string file(const std::string& name, std::size_t size) {
        const fs::path path = dir / name;
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i));
        return path.string();
    }
    void choose(ModalDriver::Handler handler) {
        modals.expect(std::move(handler));
        click(vc->bt_FileBrowser);
    }
    fs::path dir;
};

TEST_F(FileChooser, StartsInTheDesktopFolderAndOffersOnlyBinFiles) {
    QString folder;
    QStringList filters;
    choose([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog) return false;
        folder = dialog->directory().absolutePath();
        filters = dialog->nameFilters();
        EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
        return cancelDialog()(modal);
    });
    const QStringList desktop = QStandardPaths::standardLocations(QStandardPaths::DesktopLocation);
    ASSERT_FALSE(desktop.isEmpty());
    if (QDir(desktop.first()).exists()) {
        EXPECT_EQ(folder, QDir(desktop.first()).absolutePath());
    }
    ASSERT_EQ(filters.size(), 1);
    EXPECT_TRUE(filters.first().contains("(*.bin)")) << filters.first().toStdString();
}

TEST_F(FileChooser, AGoodFileShowsItsPathAndARefusedOneKeepsIt) {
    const std::string good = file("good.bin", 8 + 1024);
    choose(chooseFile(good));
    EXPECT_EQ(vc->tf_filepath->text().toStdString(), good);
    ASSERT_TRUE(vc->engine.state().binbytes);
    EXPECT_EQ(vc->engine.state().binbytes->size(), 8u + 1024u);

    // A refusal says why, with the path, shown as it stands (never bold).
    for (const std::size_t size : {0, 4}) {
        const std::string refused = file("<b>short.bin", size);
        modals.alertTexts.clear();
        modals.expect(chooseFile(refused));
        modals.expect(acceptAlert(modals));
        click(vc->bt_FileBrowser);
        EXPECT_EQ(modals.alertTexts, std::vector<std::string>{"Invalid file: " + refused +
                                                              ": too short for a firmware image (under 8 bytes)"});
        EXPECT_EQ(vc->tf_filepath->text().toStdString(), good);
        EXPECT_EQ(vc->engine.state().binbytes->size(), 8u + 1024u);
    }
    EXPECT_EQ(modals.richAlerts, 0);
    EXPECT_FALSE(vc->bt_StartUpgrade->isEnabled());
}

TEST_F(FileChooser, ANameTypedPastTheFilterIsRefusedAndCancelKeepsTheChoice) {
    const std::string good = file("good.bin", 8 + 1024);
    choose(chooseFile(good));
    const std::string text = file("notes.txt", 2048);
    modals.expect(chooseFile(text));
    modals.expect(acceptAlert(modals));
    click(vc->bt_FileBrowser);
    EXPECT_EQ(modals.alertTexts,
              std::vector<std::string>{"Invalid file: " + text + ": the name does not end in \".bin\""});
    choose(cancelDialog());
    EXPECT_EQ(vc->tf_filepath->text().toStdString(), good);
    EXPECT_EQ(vc->engine.state().binbytes->size(), 8u + 1024u);
}

// A path that is no regular file (even behind a link named .bin) is refused
// at once: a FIFO used to freeze the window in its open until a writer came,
// and /dev/zero to be read until memory ran out.
TEST_F(FileChooser, PathsThatAreNoRegularFilesAreRefusedWithoutBlocking) {
    const std::string good = file("good.bin", 8 + 1024);
    choose(chooseFile(good));
    const fs::path fifo = dir / "fifo.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.bin");
    const test_support::FifoUnblocker unblocker(fifo.string());
    for (const fs::path& path : {fifo, dir / "zero.bin"}) {
        modals.alertTexts.clear();
        modals.expect(chooseFile(path.string()));
        modals.expect(acceptAlert(modals));
        click(vc->bt_FileBrowser);
        ASSERT_EQ(modals.alertTexts.size(), 1u) << path;
        EXPECT_EQ(modals.alertTexts[0].rfind("Invalid file: " + path.string() + ": not a regular file", 0), 0u)
            << modals.alertTexts[0];
        EXPECT_EQ(vc->tf_filepath->text().toStdString(), good);
        EXPECT_EQ(vc->engine.state().binbytes->size(), 8u + 1024u);
    }
    EXPECT_FALSE(unblocker.blocked()) << "the FIFO's open blocked";
}

TEST_F(FileChooser, ChoosingTheSameFileAgainReadsItAgain) {
    const std::string path = file("again.bin", 8 + 1024);
    choose(chooseFile(path));
    file("again.bin", 8 + 2048);
    choose(chooseFile(path));
    ASSERT_TRUE(vc->engine.state().binbytes);
    EXPECT_EQ(vc->engine.state().binbytes->size(), 8u + 2048u);
}

}  // namespace
}  // namespace app_test
