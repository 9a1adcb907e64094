// Main-thread hand-off over the Qt core application's event loop.
#include "upgrader/platform/main_queue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include "upgrader/platform/system_log.h"

namespace platform {

bool isMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

static QCoreApplication* applicationOrLog() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) systemLog("main queue used without an application object; work dropped");
    return app;
}

void mainQueueAsync(std::function<void()> work) {
    if (QCoreApplication* app = applicationOrLog())
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void mainQueueSync(std::function<void()> work) {
    if (isMainThread()) {
        work();
        return;
    }
    if (QCoreApplication* app = applicationOrLog())
        QMetaObject::invokeMethod(app, std::move(work), Qt::BlockingQueuedConnection);
}

}  // namespace platform
