#include "upgrader/app/quenlo_main.h"

#include <QApplication>
#include <QIcon>

#include "upgrader/app/app_delegate.h"
#include "upgrader/app/main_window.h"
#include "upgrader/platform/application.h"
#include "upgrader/platform/desktop_notifications.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

namespace {

constexpr std::chrono::seconds kCloseAtExitLimit{3};

bool anyPortOpen()
{
    for (const auto& port : KivSerialPort::allSerialPorts())
        if (port->isOpen())
            return true;
    return false;
}

}  // namespace

// The manager's own exit handler runs after the application object is gone,
// when a close can no longer report to the main thread; so it is done here,
// while the event loop can still serve those reports.
void closeAllPortsBeforeExit()
{
    KivSerialPortManager::sharedSerialPortManager()->cleanupAllPorts();
    platform::runMainLoopUntil([] { return !anyPortOpen(); }, kCloseAtExitLimit);
}

int quenloMain(int& argc, char** argv)
{
    // The icon's resources live in a static library: register them by hand.
    Q_INIT_RESOURCE(quenlo);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quenlo"));
    QApplication::setDesktopFileName(QStringLiteral("quenlo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quenlo/quenlo.png")));
    platform::UserNotificationCenter::defaultUserNotificationCenter().setApplicationName("Quenlo", "quenlo", "quenlo");

    AppDelegate delegate;
    MainWindow window;
    window.show();
    delegate.applicationDidFinishLaunching();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] {
        delegate.applicationWillTerminate();
        closeAllPortsBeforeExit();
    });
    return app.exec();
}
