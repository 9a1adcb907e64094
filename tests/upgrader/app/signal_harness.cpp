// Not a test: the Quenlo program as shipped (its own entry), with the device
// given as the first argument as the only port, opened through the window's
// button. Prints "OPEN" once the port is open, so a test can then signal it.
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "upgrader/app/main_window.h"
#include "tests/upgrader/app/one_device_watcher.h"
#include "upgrader/app/quenlo_main.h"
#include "upgrader/app/view_controller.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string path = argv[1];
    serial::KivSerialPortManager::setDeviceWatcherFactory([path] { return std::make_unique<OneDeviceWatcher>(path); });
    return app::quenloMain(argc, argv, [](app::MainWindow& window) {
        app::ViewController* vc = window.viewController();
        vc->bt_OpenPort->click();
        auto* opened = new QTimer(&window);
        QObject::connect(opened, &QTimer::timeout, [vc, opened] {
            if (vc->bt_OpenPort->text() != QStringLiteral("Close")) return;
            opened->stop();
            std::printf("OPEN\n");
            std::fflush(stdout);
        });
        opened->start(10);
    });
}
