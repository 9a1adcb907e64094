#include "upgrader/platform/one_shot_timer.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace platform {

namespace {

// The owner may drop or invalidate its handle from inside the callback, so
// the QTimer is never deleted directly: it is stopped and left to deleteLater.
class QtOneShot : public OneShotTimer {
public:
    explicit QtOneShot(QTimer* timer) : timer_(timer) {}
    void invalidate() override {
        if (!timer_) return;
        timer_->stop();
        timer_->deleteLater();
        timer_.clear();
    }

private:
    QPointer<QTimer> timer_;
};

}  // namespace

std::unique_ptr<OneShotTimer> startOneShotTimer(std::chrono::milliseconds interval, std::function<void()> fire) {
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, fire = std::move(fire)] {
        timer->deleteLater();
        fire();
    });
    timer->start(interval);
    return std::make_unique<QtOneShot>(timer);
}

}  // namespace platform
