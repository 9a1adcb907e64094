#include "upgrader/platform/background_queue.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <atomic>
#include <mutex>
#include <thread>

#include "upgrader/platform/background_thread_qt.h"
#include "upgrader/platform/system_log.h"

namespace platform {

namespace {

struct BackgroundThread {
    BackgroundThread() {
        thread.setObjectName(QStringLiteral("KivSerialPort poll"));
        context.moveToThread(&thread);
    }
    QThread thread;
    QObject context;
    std::mutex startMutex;  // start and stop, from any thread
    bool stopBegun = false;  // guarded by startMutex; never started again after
};

std::atomic<int> pendingItems{0};
std::atomic<long long> delayMs{0};

BackgroundThread& backgroundThread() {
    // Never destroyed: a QThread object must outlive every queued call aimed
    // at its context, and those may be made while the process exits.
    static BackgroundThread* const instance = new BackgroundThread;
    return *instance;
}

// False once the thread has been stopped for the exit: a thread started then
// would never be joined, and could run Qt code after main has returned.
bool ensureRunning(BackgroundThread& background) {
    if (QThread::currentThread() == &background.thread) return true;  // running, and maybe being stopped
    std::lock_guard lock(background.startMutex);
    if (background.thread.isRunning()) return true;
    if (background.stopBegun) return false;
    background.thread.start();
    return true;
}

}  // namespace

QObject* backgroundContext() {
    return &backgroundThread().context;
}

bool isBackgroundThread() {
    return QThread::currentThread() == &backgroundThread().thread;
}

void backgroundQueueAsync(std::function<void()> work) {
    if (QCoreApplication::instance() == nullptr) {
        systemLog("background queue used without an application object; work dropped");
        return;
    }
    BackgroundThread& background = backgroundThread();
    if (!ensureRunning(background)) {
        systemLog("background queue used after its thread was stopped for the exit; work dropped");
        return;
    }
    pendingItems.fetch_add(1);
    QMetaObject::invokeMethod(
        &background.context,
        [work = std::move(work)] {
            if (const long long delay = delayMs.load(); delay > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            work();
            pendingItems.fetch_sub(1);
        },
        Qt::QueuedConnection);
}

bool backgroundQueueIdle() {
    return pendingItems.load() == 0;
}

bool stopBackgroundThread(std::chrono::milliseconds limit) {
    BackgroundThread& background = backgroundThread();
    std::lock_guard lock(background.startMutex);
    background.stopBegun = true;
    if (!background.thread.isRunning()) return true;
    background.thread.quit();
    // Items queued meanwhile stay counted: they run if the thread starts again.
    return background.thread.wait(QDeadlineTimer(limit.count()));
}

void delayBackgroundWorkForTesting(std::chrono::milliseconds delay) {
    delayMs.store(delay.count());
}

}  // namespace platform
