#include "fake_notification_server.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>

namespace app_test {

bool FakeNotificationServer::start(const QString& address) {
    static int serial = 0;
    connectionName_ = QStringLiteral("fake-notification-server-%1").arg(++serial);
    QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName_);
    if (!bus.isConnected() ||
        !bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this, QDBusConnection::ExportAllSlots))
        return false;
    // The server of the test before may still hold the name for a moment;
    // each one lets the next take it over.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        QStringLiteral("org.freedesktop.Notifications"), QDBusConnectionInterface::ReplaceExistingService,
        QDBusConnectionInterface::AllowReplacement);
    return reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
}

FakeNotificationServer::~FakeNotificationServer() {
    if (connectionName_.isEmpty()) return;
    QDBusConnection bus(connectionName_);
    bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(connectionName_);
}

uint FakeNotificationServer::Notify(const QString& app, uint, const QString& icon, const QString& summary,
                                    const QString& body, const QStringList&, const QVariantMap& hints, int) {
    notified.push_back({app, icon, summary, body, hints, nextId_});
    return nextId_++;
}

void FakeNotificationServer::CloseNotification(uint id) {
    closed.push_back(id);
}

}  // namespace app_test
