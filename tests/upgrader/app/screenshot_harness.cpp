// Test-only harness for the README's screenshot: the real window with a
// scripted device source that lists one simulated gimbal (through a link
// named "gimbal", as `gimbal-sim --link gimbal` would show it), driven
// through a whole upgrade by its own buttons. Prints "READY" once the upgrade finished
// and the alert was dismissed, then keeps the window up for a screenshot.
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <unistd.h>

#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "tests/upgrader/app/one_device_watcher.h"
#include "upgrader/app/main_window.h"
#include "upgrader/app/quenlo_main.h"
#include "upgrader/app/view_controller.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

namespace {

std::string writeFirmware() {
    std::array<std::vector<std::uint8_t>, 3> images;
    const std::array<std::size_t, 3> pages{6, 3, 4};
    for (std::size_t m = 0; m < 3; ++m) images[m].assign(pages[m] * 1024, static_cast<std::uint8_t>(m + 1));
    const std::vector<std::uint8_t> trailer{1, 2, 3};
    const auto file = gimbal::composeFirmwareFile(images, 1024, trailer);
    const auto path = std::filesystem::temp_directory_path() / "gimbal-firmware-v2.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return path.string();
}

// Calls `step` every 50 ms until it answers true.
void every(std::function<bool()> step, std::function<void()> then) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, step, then] {
        if (!step()) return;
        timer->deleteLater();
        timer->stop();
        then();
    });
    timer->start(50);
}

bool handleModal(const std::string& file) {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        // Typed into the name field: selectFile() leaves that field alone once
        // it has the focus, which the dialog gets whenever the window system
        // gets round to activating it, sooner or later than this poll.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) return false;
        name->setText(QString::fromStdString(file));
        static_cast<QDialog*>(dialog)->accept();  // protected in QFileDialog
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        box->button(QMessageBox::Ok)->click();
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.version = 1234;
    options.announcePeriod = std::chrono::milliseconds(1000);
    sim::GimbalSim gimbal(options);
    if (!gimbal.start()) return 1;
    // A bare pseudo-terminal would be listed as "0" or "3", after its number.
    const auto folder = std::filesystem::temp_directory_path() / ("quenlo-screenshot-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "gimbal").string();
    std::filesystem::remove(path);
    std::filesystem::create_symlink(gimbal.slavePath(), path);
    serial::KivSerialPortManager::setDeviceWatcherFactory([path] { return std::make_unique<OneDeviceWatcher>(path); });
    const std::string file = writeFirmware();

    // The program's own start: its high-density settings, and a signal that
    // closes the port, so that no lock file keeps the next user's tests out.
    const int code = app::quenloMain(argc, argv, [file](app::MainWindow& window) {
        window.resize(560, 260);
        app::ViewController* vc = window.viewController();
        vc->bt_OpenPort->click();
        every([vc] { return vc->bt_StartUpgrade->isEnabled(); },
              [vc, file] {
                  every(
                      [file] {
                          handleModal(file);
                          return false;
                      },
                      [] {});
                  vc->bt_FileBrowser->click();
                  vc->bt_StartUpgrade->click();
                  every(
                      [vc] {
                          return vc->lb_Status->text() == "Upgrade Complete!!" &&
                                 QApplication::activeModalWidget() == nullptr;
                      },
                      [] {
                          std::printf("READY\n");
                          std::fflush(stdout);
                      });
              });
    });
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return code;
}
