// The notification centre over org.freedesktop.Notifications: Notify and
// CloseNotification, both sent without waiting for the answer.
#include "upgrader/platform/desktop_notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <atomic>
#include <optional>

#include "upgrader/platform/system_log.h"

namespace platform {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
// Only bounds how long a pending answer is kept; nobody waits for it.
constexpr int kReplyTimeoutMs = 10000;
constexpr std::int32_t kServerDefaultExpiry = -1;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

struct UserNotificationCenter::Impl {
    explicit Impl(std::optional<std::string> busAddress) : address(std::move(busAddress)) {}
    ~Impl() {
        if (!connectionName.isEmpty()) QDBusConnection::disconnectFromBus(connectionName);
    }

    QDBusConnection& bus();
    QDBusMessage notifyMessage(const UserNotification& notification) const;
    void delivered(UserNotification notification);
    void unavailable(const QString& why);

    UserNotificationCenter* owner = nullptr;
    std::optional<std::string> address;  // none: the session bus
    std::optional<QDBusConnection> connection;
    QString connectionName;
    // The upgrader's own until told otherwise, so that every notice names it.
    QString applicationName = QStringLiteral("Quenlo");
    QString iconName = QStringLiteral("quenlo");
    QString desktopEntry = QStringLiteral("quenlo");
    QObject context;  // parent of pending answers; they die with the centre
    UserNotificationCenterDelegate* delegate = nullptr;
    std::vector<UserNotification> list;
    bool failureLogged = false;
};

QDBusConnection& UserNotificationCenter::Impl::bus() {
    if (!connection) {
        if (address) {
            static std::atomic<int> serial{0};
            connectionName = QStringLiteral("quenlo-notifications-%1").arg(++serial);
            connection = QDBusConnection::connectToBus(q(*address), connectionName);
        } else {
            connection = QDBusConnection::sessionBus();
        }
    }
    return *connection;
}

QDBusMessage UserNotificationCenter::Impl::notifyMessage(const UserNotification& notification) const {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    if (notification.silent) hints.insert(QStringLiteral("suppress-sound"), true);
    if (!desktopEntry.isEmpty()) hints.insert(QStringLiteral("desktop-entry"), desktopEntry);
    // replaces_id is an unsigned int on the wire; a plain int would be refused.
    call << applicationName << QVariant::fromValue<uint>(0u) << iconName << q(notification.title)
         << q(notification.informativeText) << QStringList() << hints
         << QVariant::fromValue<qint32>(kServerDefaultExpiry);
    return call;
}

void UserNotificationCenter::Impl::delivered(UserNotification notification) {
    list.push_back(notification);
    if (delegate) delegate->userNotificationCenterDidDeliverNotification(*owner, notification);
}

void UserNotificationCenter::Impl::unavailable(const QString& why) {
    // Once per centre: a desktop without the service would otherwise log a
    // line for every adapter plugged in.
    if (failureLogged) return;
    failureLogged = true;
    systemLog("desktop notifications unavailable: %s", why.toLocal8Bit().constData());
}

UserNotificationCenter::UserNotificationCenter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    impl_->owner = this;
}

UserNotificationCenter::~UserNotificationCenter() = default;

UserNotificationCenter& UserNotificationCenter::defaultUserNotificationCenter() {
    // Never destroyed: the bus connection must not be torn down after the
    // toolkit's own D-Bus machinery at process exit.
    static UserNotificationCenter* center = new UserNotificationCenter(std::make_unique<Impl>(std::nullopt));
    return *center;
}

std::unique_ptr<UserNotificationCenter> UserNotificationCenter::withBusAddress(const std::string& address) {
    return std::unique_ptr<UserNotificationCenter>(new UserNotificationCenter(std::make_unique<Impl>(address)));
}

void UserNotificationCenter::setDelegate(UserNotificationCenterDelegate* delegate) {
    impl_->delegate = delegate;
}

UserNotificationCenterDelegate* UserNotificationCenter::delegate() const {
    return impl_->delegate;
}

void UserNotificationCenter::setApplicationName(const std::string& name, const std::string& iconName,
                                                const std::string& desktopEntry) {
    impl_->applicationName = q(name);
    impl_->iconName = q(iconName);
    impl_->desktopEntry = q(desktopEntry);
}

void UserNotificationCenter::deliverNotification(const UserNotification& notification) {
    UserNotification copy = notification;
    copy.identifier = 0;
    if (impl_->delegate && !impl_->delegate->userNotificationCenterShouldPresentNotification(*this, copy)) {
        impl_->delivered(copy);
        return;
    }
    QDBusConnection& bus = impl_->bus();
    if (!bus.isConnected()) {
        impl_->unavailable(bus.lastError().message());
        return;
    }
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(impl_->notifyMessage(copy), kReplyTimeoutMs), &impl_->context);
    Impl* impl = impl_.get();
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &impl_->context, [impl, watcher, copy]() mutable {
        watcher->deleteLater();
        QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            impl->unavailable(reply.error().message());
            return;
        }
        copy.identifier = reply.value();
        impl->delivered(copy);
    });
}

void UserNotificationCenter::removeDeliveredNotification(const UserNotification& notification) {
    auto& list = impl_->list;
    const auto same = [&](const UserNotification& n) {
        return n.identifier == notification.identifier && n.title == notification.title &&
               n.informativeText == notification.informativeText;
    };
    const auto found = std::find_if(list.begin(), list.end(), same);
    if (found == list.end()) return;
    list.erase(found);
    if (notification.identifier == 0 || !impl_->connection || !impl_->connection->isConnected()) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    call << QVariant::fromValue<uint>(notification.identifier);
    impl_->connection->send(call);
}

std::vector<UserNotification> UserNotificationCenter::deliveredNotifications() const {
    return impl_->list;
}

}  // namespace platform
