#include "upgrader/app/quenlo_main.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>

#include "cli/info_options.h"
#include "link/termination_signals.h"

#include "upgrader/app/app_delegate.h"
#include "upgrader/app/main_window.h"
#include "upgrader/app/view_controller.h"
#include "upgrader/platform/desktop_notifications.h"
#include "upgrader/platform/system_log.h"
#include "upgrader/platform/exit_budget.h"
#include "upgrader/platform/thread_shutdown.h"
#include "upgrader/serial/kiv_exit_wait.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

// Qt's resource macros declare the resource functions where they stand, so
// they must be used outside any namespace.
static void initQuenloResources() {
    Q_INIT_RESOURCE(quenlo);
}

namespace app {

namespace {

constexpr std::chrono::seconds kCloseAtExitLimit{3};

constexpr const char* kHelp =
    "Usage: Quenlo [--help] [--version] [Qt options]\n"
    "Upgrades the gimbal's firmware over a serial port, from a window. Options: --help\n"
    "prints this text, --version the version; any other argument goes to Qt (for\n"
    "example -platform offscreen or -style Fusion).";

// Qt 5 scales nothing by default; this is what Qt 6 does out of the box, so
// the window stays legible on a high-density screen.
void enableHighDpi() {
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)  // Qt 6 always does both
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

// Gives up the upgrade and closes the ports (their exclusive flags and lock
// files with them) before the loop ends; dying on the signal would leave
// both behind, and a page half written.
void watchTerminationSignals(gimbal::TerminationSignals& termination, QSocketNotifier& notifier, MainWindow& window) {
    QObject::connect(&notifier, &QSocketNotifier::activated, &window, [&termination, &notifier, &window] {
        const int signal = termination.take();
        if (signal == 0) return;
        notifier.setEnabled(false);  // once is enough, even while closing serves the loop
        window.viewController()->engine.cancelUpgrade();
        closeAllPortsBeforeExit();
        // Ends every loop, a modal box's included.
        QCoreApplication::exit(gimbal::TerminationSignals::exitCodeFor(signal));
    });
}

}  // namespace

// The manager's own exit handler runs after the application object is gone,
// when a close can no longer report to the main thread; so it is done here,
// while the event loop can still serve those reports.
void closeAllPortsBeforeExit() {
    platform::beginExit();  // the closes and the threads' stop share one budget
    serial::KivSerialPortManager::sharedSerialPortManager()->cleanupAllPorts();
    if (!serial::waitForPortClosesBeforeExit(platform::exitTimeLeft(kCloseAtExitLimit)))
        platform::systemLog("exit: a port's close did not finish within %lld s; exiting without it",
                            static_cast<long long>(kCloseAtExitLimit.count()));
}

int quenloMain(int& argc, char** argv, const std::function<void(MainWindow&)>& shown) {
    // Answered before the application object, which would need a display.
    if (const auto code = cli::answerInfoOptions(argc, argv, "Quenlo", kHelp)) return *code;
    enableHighDpi();
    // The icon's resources live in a static library: register them by hand.
    ::initQuenloResources();
    gimbal::TerminationSignals termination;  // from the start: a signal meanwhile waits for the loop
    // Its lines on standard output must never end it: a closed pipe there
    // (`Quenlo | head -1`) would otherwise kill it mid-upgrade.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    const platform::BackgroundThreadsStop stopThreads;  // goes after everything below, before `app`
    QApplication::setApplicationName(QStringLiteral("Quenlo"));
    QApplication::setDesktopFileName(QStringLiteral("quenlo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quenlo/quenlo.png")));
    platform::UserNotificationCenter::defaultUserNotificationCenter().setApplicationName("Quenlo", "quenlo", "quenlo");

    AppDelegate delegate;
    MainWindow window;
    QSocketNotifier notifier(termination.fd(), QSocketNotifier::Read);
    watchTerminationSignals(termination, notifier, window);
    window.show();
    delegate.applicationDidFinishLaunching();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] {
        delegate.applicationWillTerminate();
        closeAllPortsBeforeExit();
    });
    if (shown) shown(window);
    return app.exec();
}

}  // namespace app
