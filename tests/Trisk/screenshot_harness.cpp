// Not a test: the Trisk program as shipped (its own entry) against a simulated
// gimbal of the "blocks" dialect, listed through a link named "gimbal" in a
// private runtime folder (as `gimbal-sim --dialect blocks --link gimbal`
// would place it). Opens the port, loads an update file through the file
// dialog and presses UPDATE START, all with the window's own buttons. Prints
// "READY" once the run ended in "SEND OK" and that box was answered, then
// keeps the window up for a screenshot; any other box ends it with code 1.
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <unistd.h>

#include "link/firmware_file.h"
#include "link/virtual_ports.h"
#include "sim/gimbal_sim.h"
#include "trisk_main.h"
#include "widget.h"

namespace {

constexpr std::uint16_t kBlock = 256;

std::string writeFirmware(const std::filesystem::path& folder) {
    std::array<gimbal::Bytes, 3> images;
    const std::array<std::size_t, 3> blocks{6, 3, 4};
    for (std::size_t i = 0; i < 3; ++i) images[i].assign(blocks[i] * kBlock, static_cast<std::uint8_t>(i + 1));
    const auto file = gimbal::composeFirmwareFile(images, kBlock);
    const auto path = folder / "gimbal-firmware-v2.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return path.string();
}

// Calls `step` every 50 ms until it answers true, then `then`.
void every(trisk::Widget& window, std::function<bool()> step, std::function<void()> then = {}) {
    auto* timer = new QTimer(&window);
    QObject::connect(timer, &QTimer::timeout, [timer, step, then] {
        if (!step()) return;
        timer->stop();
        timer->deleteLater();
        if (then) then();
    });
    timer->start(50);
}

// Answers the file dialog with `file` and the box that ends the run.
void answerModal(const QString& file) {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        // Typed into the name field: selectFile() leaves that field alone
        // once it has the focus.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) return;
        name->setText(file);
        static_cast<QDialog*>(dialog)->accept();  // protected in QFileDialog
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (box->text() != QStringLiteral("SEND OK")) {
            std::fprintf(stderr, "%s\n", qPrintable(box->text()));
            QCoreApplication::exit(1);  // ends the box's loop too
            return;
        }
        box->button(QMessageBox::Ok)->click();
        std::printf("READY\n");
        std::fflush(stdout);
    }
}

void drive(trisk::Widget& window, const QString& port, const QString& file) {
    auto* ports = window.findChild<QComboBox*>(QStringLiteral("comboBoxPort"));
    auto* text = window.findChild<QTextBrowser*>(QStringLiteral("textBrowser"));
    ports->setCurrentIndex(ports->findData(port));
    window.findChild<QPushButton*>(QStringLiteral("BtnOpen"))->click();
    every(window, [file] {
        answerModal(file);
        return false;
    });
    every(
        window, [text] { return text->toPlainText().startsWith(QStringLiteral("LINK OK !")); },
        [&window] {
            window.findChild<QPushButton*>(QStringLiteral("BtnOpenFile"))->click();
            window.findChild<QPushButton*>(QStringLiteral("BtnUpdate"))->click();
        });
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options options;
    options.dialect = sim::Dialect::Blocks;
    options.blockSize = kBlock;
    options.version = 203;
    options.announcePeriod = std::chrono::milliseconds(1000);
    sim::GimbalSim gimbal(options);
    if (!gimbal.start()) return 1;
    // The window lists the virtual ports of the runtime folder: a private one,
    // so that nothing of the user's shows and nothing is left in theirs.
    const auto folder = std::filesystem::temp_directory_path() / ("trisk-screenshot-" + std::to_string(::getpid()));
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    std::string error;
    const std::string link =
        gimbal::placeVirtualSerialLink(gimbal::virtualSerialFolder(), "gimbal", gimbal.slavePath(), &error);
    int code = 1;
    if (link.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
    } else {
        const QString file = QString::fromStdString(writeFirmware(folder));
        // The program's own start: its high-density settings, and a signal
        // that closes the port, so that no lock file is left behind.
        code = trisk::triskMain(
            argc, argv, [&link, &file](trisk::Widget& window) { drive(window, QString::fromStdString(link), file); });
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return code;
}
