// Desktop notifications for adapters plugged in and pulled out: one per port,
// silent, shown even while the window is in front, and taken off the
// desktop's list again 3 seconds after delivery.
#include <QCoreApplication>
#include <QTimer>

#include "link/port_diagnosis.h"
#include "upgrader/app/view_controller.h"

namespace app {

namespace {

constexpr std::chrono::milliseconds kDeliveredLifetime{3000};

}  // namespace

void ViewController::postUserNotificationForConnectedPorts(const Ports& ports) {
    for (const Port& port : ports) connectedAt_[port->path()] = std::chrono::steady_clock::now();
    postUserNotifications(
        ports, QCoreApplication::translate("ViewController", "Serial Port Connected", "Serial Port Connected"),
        " was connected to this computer.");
}

void ViewController::postUserNotificationForDisconnectedPorts(const Ports& ports) {
    postUserNotifications(
        ports, QCoreApplication::translate("ViewController", "Serial Port Disconnected", "Serial Port Disconnected"),
        " was disconnected from this computer.");
    noticeBrlttyForShortLivedPorts(ports);
}

// An adapter gone again within 2 s of its arrival, with brltty installed,
// was most likely claimed by it: one notice per port names it and the fix.
void ViewController::noticeBrlttyForShortLivedPorts(const Ports& ports) {
    constexpr std::chrono::seconds kShortLived{2};
    const auto now = std::chrono::steady_clock::now();
    for (const Port& port : ports) {
        const auto arrived = connectedAt_.find(port->path());
        if (arrived == connectedAt_.end()) continue;
        const bool shortLived = now - arrived->second < kShortLived;
        connectedAt_.erase(arrived);
        if (!shortLived || brlttyNoticed_.contains(port->path()) || !gimbal::brlttyInstalled()) continue;
        brlttyNoticed_.insert(port->path());
        platform::UserNotification notification;
        notification.title = "brltty took the adapter";
        notification.informativeText = gimbal::brlttyFlapText(port->path());
        platform::UserNotificationCenter::defaultUserNotificationCenter().deliverNotification(notification);
    }
}

void ViewController::postUserNotifications(const Ports& ports, const QString& title, const char* ending) {
    auto& center = platform::UserNotificationCenter::defaultUserNotificationCenter();
    for (const Port& port : ports) {
        platform::UserNotification notification;
        notification.title = title.toStdString();
        notification.informativeText = "Serial Port " + port->name() + ending;
        notification.silent = true;
        center.deliverNotification(notification);
    }
}

// The removal belongs to the application, not to this window: it still
// happens if the controller is gone by then.
void ViewController::userNotificationCenterDidDeliverNotification(platform::UserNotificationCenter& center,
                                                                  const platform::UserNotification& notification) {
    QTimer::singleShot(kDeliveredLifetime, QCoreApplication::instance(),
                       [&center, notification] { center.removeDeliveredNotification(notification); });
}

bool ViewController::userNotificationCenterShouldPresentNotification(platform::UserNotificationCenter&,
                                                                     const platform::UserNotification&) {
    return true;
}

}  // namespace app
