#include "trisk_main.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <memory>

#include "cli/info_options.h"
#include "link/termination_signals.h"
#include "widget.h"

// Qt's resource macros declare the resource functions where they stand, so
// they must be used outside any namespace.
static void initTriskResources() {
    Q_INIT_RESOURCE(image);
}
static void cleanupTriskResources() {
    Q_CLEANUP_RESOURCE(image);
}

namespace trisk {

namespace {

constexpr const char* kHelp =
    "Usage: Trisk [--help] [--version] [Qt options]\n"
    "Updates the three-axis gimbal's firmware over a serial port: choose the port and\n"
    "rate, open it, open the update file, then start. Virtual ports are listed by their\n"
    "name. Options: --help prints this text, --version the version; any other\n"
    "argument goes to Qt (for example -platform offscreen or -style Fusion).";

// Stops the run and lets the port go (its exclusive flag and lock file with
// it) before the loop ends; dying on the signal would leave both behind.
void watchTerminationSignals(gimbal::TerminationSignals& termination, QSocketNotifier& notifier, Widget& window) {
    QObject::connect(&notifier, &QSocketNotifier::activated, &window, [&termination, &notifier, &window] {
        const int signal = termination.take();
        if (signal == 0) return;
        notifier.setEnabled(false);  // once is enough, even while closing serves the loop
        window.stopForExit();
        // Ends every loop, a modal box's included.
        QCoreApplication::exit(gimbal::TerminationSignals::exitCodeFor(signal));
    });
}

}  // namespace

// Qt 5 scales nothing by default; this is what Qt 6 does out of the box, so
// the fixed-size form stays legible on a high-density screen.
void enableHighDpi() {
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)  // Qt 6 always does both
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

int triskMain(int& argc, char** argv, const std::function<void(Widget&)>& shown) {
    // Answered before the application object, which would need a display.
    if (const auto code = cli::answerInfoOptions(argc, argv, "Trisk", kHelp)) return *code;
    enableHighDpi();
    ::initTriskResources();
    int code = 0;
    {
        gimbal::TerminationSignals termination;  // from the start: a signal meanwhile waits for the loop
        // A closed pipe on its output must never end an update.
        std::signal(SIGPIPE, SIG_IGN);
        QApplication app(argc, argv);
        // The window holds the whole file buffer (over 512 KiB): keep it off the stack.
        auto window = std::make_unique<Widget>();
        // A title bar with a close button only: no minimise, no maximise.
        window->setWindowFlags(Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
        QSocketNotifier notifier(termination.fd(), QSocketNotifier::Read);
        watchTerminationSignals(termination, notifier, *window);
        window->show();
        if (shown) shown(*window);
        code = app.exec();
        window.reset();  // the window goes before the application
    }
    ::cleanupTriskResources();
    return code;
}

}  // namespace trisk
