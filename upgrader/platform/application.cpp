#include "upgrader/platform/application.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include "upgrader/platform/thread_shutdown.h"

namespace platform {

struct Application::Impl {
    Impl(int& argc, char** argv) : app(argc, argv) {}
    QCoreApplication app;
};

Application::Application(int& argc, char** argv) : impl_(std::make_unique<Impl>(argc, argv)) {}

// The threads are stopped while the application object still serves the
// hand-offs they may wait for.
Application::~Application() {
    stopBackgroundThreads();
}

int Application::exec() {
    return impl_->app.exec();
}

bool runMainLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout.count());
    // Wakes the loop now and then: the condition may depend on things that
    // post no event to this thread (another process, a device).
    QTimer wake;
    wake.start(2);
    while (!condition()) {
        if (deadline.hasExpired()) return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace platform
