// The engine's view on the window's controls: status line, progress bar,
// Start button, the modal alert, the page timer and the diagnostic outputs.
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <iostream>

#include "upgrader/app/view_controller.h"
#include "upgrader/platform/system_log.h"

namespace {

// The engine may drop its handle from inside the timer's own callback, so the
// timer is never deleted directly: it is stopped and handed to deleteLater.
class QtPageTimer : public upgrader::PageTimer {
public:
    explicit QtPageTimer(QTimer* timer) : timer_(timer) {}
    void invalidate() override
    {
        if (!timer_)
            return;
        timer_->stop();
        timer_->deleteLater();
        timer_.clear();
    }

private:
    QPointer<QTimer> timer_;
};

}  // namespace

void ViewController::setStatusText(const std::string& text) { lb_Status->setText(QString::fromStdString(text)); }

void ViewController::setProgress(double fraction) { pgb_UpgradeProgress->setDoubleValue(fraction); }

void ViewController::setStartEnabled(bool enabled) { bt_StartUpgrade->setEnabled(enabled); }

// exec() runs a nested event loop, which keeps delivering the serial layer's
// blocking hand-offs (closed, removed) while the box is open.
void ViewController::showAlert(const std::string& message)
{
    QMessageBox box(QMessageBox::NoIcon, window()->windowTitle(), QString::fromStdString(message),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("alert"));
    box.exec();
}

std::unique_ptr<upgrader::PageTimer> ViewController::scheduleTimer(std::chrono::milliseconds interval,
                                                                   std::function<void()> fire)
{
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire 5% early
    connect(timer, &QTimer::timeout, this, [timer, fire = std::move(fire)] {
        timer->deleteLater();
        fire();
    });
    timer->start(interval);
    return std::make_unique<QtPageTimer>(timer);
}

void ViewController::log(const std::string& line) { platform::systemLog("%s", line.c_str()); }

void ViewController::print(const std::string& line) { std::cout << line << std::endl; }
