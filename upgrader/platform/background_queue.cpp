#include "upgrader/platform/background_queue.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include "upgrader/platform/background_thread_qt.h"

namespace platform {

namespace {

struct BackgroundThread {
    BackgroundThread() {
        thread.setObjectName(QStringLiteral("KivSerialPort poll"));
        context.moveToThread(&thread);
        thread.start();
    }
    QThread thread;
    QObject context;
};

BackgroundThread& backgroundThread() {
    // Never destroyed: ports may still hand work to it while the process
    // exits, and a QThread must not be destroyed while it runs.
    static BackgroundThread* const instance = new BackgroundThread;
    return *instance;
}

}  // namespace

QObject* backgroundContext() {
    return &backgroundThread().context;
}

bool isBackgroundThread() {
    return QThread::currentThread() == &backgroundThread().thread;
}

void backgroundQueueAsync(std::function<void()> work) {
    QMetaObject::invokeMethod(backgroundContext(), std::move(work), Qt::QueuedConnection);
}

}  // namespace platform
