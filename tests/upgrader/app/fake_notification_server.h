// A stand-in for the desktop's notification service, registered on the
// private session bus from its own connection in the test process.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <vector>

#include "app_fixture.h"

namespace app_test {

class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    // False (with nothing registered) when the bus cannot be reached.
    bool start(const QString& address);
    ~FakeNotificationServer() override;

    std::vector<NotifyCall> notified;
    std::vector<uint> closed;

public slots:
    uint Notify(const QString& app, uint replacesId, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int timeout);
    void CloseNotification(uint id);

private:
    QString connectionName_;
    uint nextId_ = 1;
};

}  // namespace app_test
